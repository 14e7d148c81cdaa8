# The two commands of the README:
#   make demo   builds everything and runs a save of the bundled sample station
#   make test   builds and runs the whole test suite, then again under ASan + UBSan
#   make bench  builds the benchmarks and runs them (micro benchmarks, then whole saves against
#               the floor, then the edit file step alone, then the history database's cost, then
#               the plant report page of 64 stations with 200 saves each);
#               never part of make test
BUILD      ?= build
BUILD_SAN  ?= build-asan
BUILD_BENCH ?= build-bench
JOBS       ?= $(shell nproc)

# A compiler cache where the machine has one: paths relative to the checkout, so that clones and
# worktrees share hits. A fresh machine builds without it.
CCACHE     := $(shell command -v ccache 2>/dev/null)
ifneq ($(CCACHE),)
export CCACHE_BASEDIR   := $(CURDIR)
export CCACHE_NOHASHDIR := 1
LAUNCHER   := -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE)
endif

BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := upload image editfile valuefmt readers tpfile

.PHONY: all setup build build-san test test-fast test-san install-check crashloop demo bench fuzz clean

all: build

setup:
	@scripts/setup.sh

build: setup
	@[ -f $(BUILD)/CMakeCache.txt ] || cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER)
	cmake --build $(BUILD) -j $(JOBS)

build-san: setup
	@[ -f $(BUILD_SAN)/CMakeCache.txt ] || cmake -S . -B $(BUILD_SAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTUSAVE_SANITIZE=ON $(LAUNCHER)
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

# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for FUZZ_SECONDS, one
# after the other, from its seeds in fuzz/corpus/<target>/. New inputs collect in
# $(BUILD_FUZZ)/corpus/<target>/, findings in $(BUILD_FUZZ)/crashes/<target>/ (keep a finding
# in fuzz/crashes/<target>/ once mended: make test replays it). Temporary folders go to
# /dev/shm when there is one.
fuzz:
	@command -v clang++ >/dev/null || { echo "make fuzz: needs clang (apt-get install clang)" >&2; exit 1; }
	@[ -f $(BUILD_FUZZ)/CMakeCache.txt ] || CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUSAVE_FUZZ=ON $(LAUNCHER)
	cmake --build $(BUILD_FUZZ) -j $(JOBS) $(addprefix --target fuzz_,$(FUZZ_TARGETS))
	@tmp=$$( [ -d /dev/shm ] && echo /dev/shm || echo /tmp ); \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD_FUZZ)/corpus/$$t $(BUILD_FUZZ)/crashes/$$t; \
	  echo "== fuzz $$t: $(FUZZ_SECONDS) s"; \
	  TMPDIR=$$tmp $(BUILD_FUZZ)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=$(BUILD_FUZZ)/crashes/$$t/ $(BUILD_FUZZ)/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

# Its own build folder, so the normal build does not carry the benchmarks.
bench: setup
	@[ -f $(BUILD_BENCH)/CMakeCache.txt ] || cmake -S . -B $(BUILD_BENCH) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUSAVE_BENCH=ON $(LAUNCHER)
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target tusave_micro_bench tusave_e2e_bench edit_step_bench history_bench report_bench
	$(BUILD_BENCH)/bench/tusave_micro_bench --benchmark_min_time=0.2
	$(BUILD_BENCH)/bench/tusave_e2e_bench $(BENCH_ARGS)
	$(BUILD_BENCH)/bench/edit_step_bench
	$(BUILD_BENCH)/bench/history_bench
	$(BUILD_BENCH)/bench/report_bench

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_BENCH) $(BUILD_FUZZ)
