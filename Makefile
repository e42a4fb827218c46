# Thin wrapper around CMake. `make test` builds and runs the tests; `make asan-test` does the
# same with AddressSanitizer and UndefinedBehaviorSanitizer; `make run` starts the simulated router.
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build-asan
CMAKE_FLAGS ?=

.PHONY: all build test asan asan-test format format-check run clean bench

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPLX_SANITIZE=ON -DPLX_BENCH=OFF $(CMAKE_FLAGS)

asan: $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)

asan-test: asan
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --output-on-failure -j $(JOBS) --timeout 600

bench: build
	$(BUILD)/bench/plx_bench

run: build
	tools/run-router.sh $(BUILD)

format:
	git ls-files '*.cpp' '*.cc' '*.h' '*.hpp' '*.c' | xargs clang-format -i

format-check:
	git ls-files '*.cpp' '*.cc' '*.h' '*.hpp' '*.c' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
