# Thin wrapper around CMake. `make test` builds and runs the tests; `make asan-test` does the
# same with AddressSanitizer and UndefinedBehaviorSanitizer; `make run` builds what the simulated
# router runs and starts it.
# `make fuzz` runs every libFuzzer harness for FUZZ_SECONDS each (from the sanitizer build);
# `make fuzz-ci` is the short run of CI; `make live-long` the long live-change run of the router.
# The test builds treat warnings as errors (PLX_WERROR).
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_SECONDS ?= 600
FUZZ_CI_SECONDS ?= 10
CMAKE_FLAGS ?=
# Compiler cache when the machine has one (tools/setup.sh installs it): rebuilds of unchanged files
# are nearly free.
CCACHE := $(shell command -v ccache 2>/dev/null)
LAUNCHER := $(if $(CCACHE),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# Ninja when the machine has it (tools/setup.sh installs it): one scheduler for the whole tree.
GENERATOR := $(if $(shell command -v ninja 2>/dev/null),-G Ninja)

.PHONY: all build test live-long asan asan-test fuzzers fuzz fuzz-ci fuzz-corpus format format-check run \
	clean bench cfgfuzz

all: build

# Optimised, with line tables for backtraces and profiles (-g1: a quarter less compile time than
# full debug information; CMAKE_FLAGS="-DCMAKE_CXX_FLAGS_RELWITHDEBINFO='-O2 -g'" for gdb's locals).
RELFLAGS := -O2 -g1 -DNDEBUG
$(BUILD)/CMakeCache.txt:
	cmake $(GENERATOR) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLX_WERROR=ON \
	    -DCMAKE_C_FLAGS_RELWITHDEBINFO="$(RELFLAGS)" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$(RELFLAGS)" \
	    $(LAUNCHER) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

# The long run of the live-change test (300 steps of commits and peer restarts against a linear
# first match; PLX_LIVE_SEED=N repeats a run).
live-long: build
	cmake --build $(BUILD) --target router_live_long

# The sanitizer build: clang with AddressSanitizer and UndefinedBehaviorSanitizer, every library
# instrumented for coverage. It builds the tests and the libFuzzer harnesses, so one build serves
# `make asan-test` and the fuzzing targets. Line tables only: the sanitizers' reports still name
# file and line.
$(ASAN_BUILD)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake $(GENERATOR) -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPLX_FUZZ=ON -DPLX_BENCH=OFF \
	    -DCMAKE_C_FLAGS_DEBUG=-gline-tables-only -DCMAKE_CXX_FLAGS_DEBUG=-gline-tables-only \
	    -DPLX_WERROR=ON $(LAUNCHER) $(CMAKE_FLAGS)

asan: $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)

asan-test: asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --output-on-failure -j $(JOBS) --timeout 600

fuzzers: $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target fuzzers fuzz_make_corpus

fuzz: fuzzers
	fuzz/run.sh $(ASAN_BUILD) $(FUZZ_SECONDS)

fuzz-ci: fuzzers
	fuzz/run.sh $(ASAN_BUILD) $(FUZZ_CI_SECONDS)

# Rewrites the seed corpora from the encoders (after a wire format changed).
fuzz-corpus: fuzzers
	rm -rf fuzz/corpus && $(ASAN_BUILD)/fuzz/fuzz_make_corpus fuzz/corpus

# The configuration fuzzer's long run against a live router (CFGFUZZ_SEED=N repeats one).
CFGFUZZ_COMMITS ?= 5000
cfgfuzz: build
	CFGFUZZ_COMMITS=$(CFGFUZZ_COMMITS) $(BUILD)/tests/e2e/cfgfuzz_test

bench: build
	$(BUILD)/bench/plx_bench

# Builds only what the router runs (the `router` target), not the tests and benchmarks.
run: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target router
	tools/run-router.sh $(BUILD)

format:
	git ls-files '*.cpp' '*.cc' '*.h' '*.hpp' '*.c' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.cc' '*.h' '*.hpp' '*.c' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
