# Front door: `make test` builds and runs every test, `make demo` builds the
# program and runs it on a generated demo scene.
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build deps test demo clean bench-mpi

all: build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

deps:
	kovarkit/install-deps.sh

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: deps build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: deps build
	tools/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD)

# MPI build: pixels per second of kovarind-mpi with 1 and 2 ranks.
bench-mpi: build
	tools/bench-mpi.sh $(BUILD)
