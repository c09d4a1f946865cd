# Front door: `make test` builds and runs every test, `make demo` builds the
# program and runs it on a generated demo scene.
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build test demo bench clean

all: build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Benchmarks in their own build tree (never part of `make test`).
bench:
	cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DKOVARIND_BENCH=ON -DKOVARIND_TESTS=OFF
	cmake --build $(BUILD)-bench -j $(JOBS) --target tfit7_bench
	$(BUILD)-bench/bench/tfit7_bench

clean:
	rm -rf $(BUILD) $(BUILD)-bench
