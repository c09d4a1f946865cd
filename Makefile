# Front door: `make test` builds and runs every test, `make demo` builds the
# program and runs it on a generated demo scene, `make bench` measures.
BUILD ?= build
JOBS  ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build deps test demo bench bench-mpi clean

all: build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release

# Every Debian package of the build, the tests and kovarkit, when missing.
deps:
	tools/install-deps.sh

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
	$(BUILD)-bench/bench/best_subset_bench
	$(BUILD)-bench/bench/pipeline_bench
	bench/scene_bench.sh $(BUILD)-bench
	/usr/bin/python3 bench/python_bench.py $(BUILD)-bench
	/usr/bin/python3 bench/cube_bench.py $(BUILD)-bench
	/usr/bin/python3 bench/seasons_bench.py $(BUILD)-bench

# --- Hardening: sanitizers, valgrind and fuzzing, each in its own build tree.
# test-scale: the scale tests including the slow sparse scene.
# test-sanitize: the whole suite under AddressSanitizer and
#   UndefinedBehaviorSanitizer (any report fails the run).
# valgrind: the program on a small generated scene under memcheck.
# fuzz: libFuzzer harnesses (clang) from the corpus in fuzz/corpus, each for
#   FUZZ_SECONDS; new inputs go to a scratch directory, not the repository.
SAN_FLAGS   = -fsanitize=address,undefined -fno-sanitize-recover=undefined \
              -fno-omit-frame-pointer
SAN_ENV     = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
              UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
FUZZ_SECONDS ?= 45
# Pointer-overflow and alignment checks slow the fit kernels fivefold under
# the fuzzer; test-sanitize keeps them, AddressSanitizer covers the accesses.
FUZZ_UBSAN_SKIP = -fno-sanitize=pointer-overflow,alignment
FUZZERS     = control_file pipeline

# The MPI build stays out: Open MPI's own start-up allocations are never
# freed and would read as leaks.
test-sanitize: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" -DCMAKE_DISABLE_FIND_PACKAGE_MPI=ON \
	  -DKOVARIND_PYTHON=OFF
	cmake --build $(BUILD)-asan -j $(JOBS)
	$(SAN_ENV) ctest --test-dir $(BUILD)-asan --output-on-failure -j $(JOBS)

# The end-to-end scene beyond 2^31 records (about a minute).
test-scale: build
	KOVARIND_SCALE=1 $(BUILD)/kovarind_tests --gtest_filter='Scale.*'

valgrind: build
	tools/valgrind.sh $(BUILD)

fuzz:
	CXX=clang++ cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DKOVARIND_TESTS=OFF -DKOVARIND_FUZZ=ON -DKOVARIND_PYTHON=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined \
	    -fno-sanitize-recover=undefined $(FUZZ_UBSAN_SKIP)"
	cmake --build $(BUILD)-fuzz -j $(JOBS) $(addprefix --target fuzz_,$(FUZZERS))
	for f in $(FUZZERS); do \
	  rm -rf $(BUILD)-fuzz/new-$$f && mkdir -p $(BUILD)-fuzz/new-$$f && \
	  $(SAN_ENV) $(BUILD)-fuzz/fuzz/fuzz_$$f -max_total_time=$(FUZZ_SECONDS) \
	    -timeout=10 -rss_limit_mb=2048 -max_len=1024 -len_control=0 \
	    -close_fd_mask=3 -print_final_stats=1 \
	    $(BUILD)-fuzz/new-$$f fuzz/corpus/$$f || exit 1; \
	done

.PHONY: test-sanitize test-scale valgrind fuzz
# --- end of hardening targets

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-asan $(BUILD)-fuzz

# MPI build: pixels per second of kovarind-mpi with 1 and 2 ranks.
bench-mpi: build
	tools/bench-mpi.sh $(BUILD)
