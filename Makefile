# The two commands of the README:
#   make demo   builds everything and runs a save of the bundled sample station
#   make test   builds and runs the whole test suite, then again under ASan + UBSan
# and:
#   make bench  builds and runs the benchmarks (never part of make test)
BUILD      ?= build
BUILD_SAN  ?= build-asan
JOBS       ?= $(shell nproc)

.PHONY: all setup build build-san test test-fast test-san install-check demo bench clean

all: build

setup:
	@scripts/setup.sh

build: setup
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-san: setup
	@[ -f $(BUILD_SAN)/CMakeCache.txt ] || cmake -S . -B $(BUILD_SAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTUSAVE_SANITIZE=ON
	cmake --build $(BUILD_SAN) -j $(JOBS)

test-fast: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-san: build-san
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD_SAN) --output-on-failure -j $(JOBS)

# Installs into a temporary prefix and builds and runs a consumer program against it.
install-check: build
	@scripts/install_check.sh $(BUILD)

test: test-fast test-san install-check

demo: build
	@scripts/demo.sh $(BUILD)

# The edit file step against a plain rewrite of its files (8000 blocks, 7 interleaved pairs).
bench: setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUSAVE_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS) --target edit_step_bench
	$(BUILD)/bench/edit_step_bench

clean:
	rm -rf $(BUILD) $(BUILD_SAN)
