# The two commands of the README:
#   make demo   builds everything and runs a save of the bundled sample station
#   make test   builds and runs the whole test suite, then again under ASan + UBSan
BUILD      ?= build
BUILD_SAN  ?= build-asan
JOBS       ?= $(shell nproc)

.PHONY: all setup build build-san test test-fast test-san install-check crashloop demo clean

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

# Saves killed at random moments (seeded): every file old or new, the next save good.
CRASH_RUNS ?= 50
CRASH_SEED ?= 1
crashloop: build
	$(BUILD)/tests/crashloop --runs $(CRASH_RUNS) --seed $(CRASH_SEED)

demo: build
	@scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_SAN)
