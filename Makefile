# Front door: `make test` builds and runs every test, `make demo` builds the
# program and runs it on a generated demo scene, `make bench` measures.
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build deps test demo bench bench-mpi clean

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

# Benchmarks in their own build tree (never part of `make test`).
bench:
	cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DKOVARIND_BENCH=ON -DKOVARIND_TESTS=OFF
	cmake --build $(BUILD)-bench -j $(JOBS)
	$(BUILD)-bench/bench/tfit7_bench
	$(BUILD)-bench/bench/qenpros_bench
	bench/scene_bench.sh $(BUILD)-bench

clean:
	rm -rf $(BUILD) $(BUILD)-bench

# MPI build: pixels per second of kovarind-mpi with 1 and 2 ranks.
bench-mpi: build
	tools/bench-mpi.sh $(BUILD)
