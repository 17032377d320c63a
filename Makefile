# Front door for the README's commands; CMake does the building.
JOBS ?= $(shell nproc)
CMAKE ?= cmake
CTEST ?= ctest
CTEST_FLAGS := --output-on-failure --no-tests=error -j $(JOBS)

RELEASE := build/release
ASAN := build/asan
TSAN := build/tsan
ARMHF := build/armhf
FUZZ := build/fuzz
FUZZ_SECONDS ?= 30
FUZZ_SHORT_SECONDS ?= 15
SOAK_SECONDS ?= 60
PLAIN := build/plain

# A sanitizer finding ends the test at once, with a stack trace.
export ASAN_OPTIONS ?= halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS ?= halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS ?= halt_on_error=1:second_deadlock_stack=1
# LeakSanitizer cannot work under a tracer (a debugger, some sandboxes); leaks go unchecked there.
ifneq ($(filter-out 0,$(shell awk '/^TracerPid:/ {print $$2}' /proc/self/status)),)
ASAN_OPTIONS := $(ASAN_OPTIONS):detect_leaks=0
endif
# ThreadSanitizer maps its shadow at fixed addresses, which kernels with many mmap random bits
# collide with ("unexpected memory mapping"); run without address randomisation where allowed.
NO_ASLR := $(shell setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R)

.PHONY: all build run test tsan armhf fuzz fuzz-build fuzz-short reliability bench check-all clean
.PHONY: package package-test
# The stages share two cores; running them side by side only interleaves their output.
.NOTPARALLEL:

all: build

build:
	$(CMAKE) -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_BUILD_TESTS=OFF
	$(CMAKE) --build $(RELEASE) -j $(JOBS)

# Starts the hub in console mode in build/run (its trace files land there): q quits.
run: build
	mkdir -p build/run
	cd build/run && ../release/qivhub -console -l ../release/plugins

test:
	$(CMAKE) -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DLUMO_SANITIZE=address,undefined
	$(CMAKE) --build $(ASAN) -j $(JOBS)
	$(CTEST) --test-dir $(ASAN) $(CTEST_FLAGS)

tsan:
	$(CMAKE) -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_SANITIZE=thread
	$(CMAKE) --build $(TSAN) -j $(JOBS)
	$(NO_ASLR) $(CTEST) --test-dir $(TSAN) $(CTEST_FLAGS)

# Every test binary runs under qemu-arm (the toolchain file names it), so time-outs are longer.
armhf:
	$(CMAKE) -S . -B $(ARMHF) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_TEST_TIMEOUT=600 \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
	$(CMAKE) --build $(ARMHF) -j $(JOBS)
	$(CTEST) --test-dir $(ARMHF) $(CTEST_FLAGS)

# Every fuzz target (clang, libFuzzer, ASan+UBSan), FUZZ_SECONDS each. The seeds in
# fuzz/corpus/<target> are only read; what a run learns stays in build/fuzz/corpus.
fuzz-build:
	CC=clang CXX=clang++ $(CMAKE) -S fuzz -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build $(FUZZ) -j $(JOBS) --target fuzz_targets

fuzz: fuzz-build
	fuzz/run.sh $(FUZZ) $(FUZZ_SECONDS)

# check-all's share: FUZZ_SHORT_SECONDS each.
fuzz-short: fuzz-build
	fuzz/run.sh $(FUZZ) $(FUZZ_SHORT_SECONDS)

# The figures of docs/reliability.md: longer fuzz runs, the allocation-failure test, the 60 s
# soak (ASan build) and a valgrind run of the hub (a build without sanitizers).
reliability: test fuzz-build
	$(CMAKE) -S . -B $(PLAIN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMO_BUILD_TESTS=OFF
	$(CMAKE) --build $(PLAIN) -j $(JOBS) --target qivhub qiv
	python3 tools/reliability.py --asan $(ASAN) --plain $(PLAIN) --fuzz $(FUZZ) \
	  --fuzz-seconds $(FUZZ_SECONDS) --soak-seconds $(SOAK_SECONDS) --out docs/reliability.md

# The figures of docs/performance.md: the Google Benchmark programs of bench/ against the peer
# libraries (a Release build in build/bench), the exact footprint of parsed trees (also for armhf
# under qemu-arm), wake-up latencies and the hub of `make build` at rest, each for the baseline
# revision pinned in bench/run.py and for this tree. BENCH_FLAGS=--quick: fewer repetitions.
BENCH_FLAGS ?=
bench: build
	python3 bench/run.py $(BENCH_FLAGS)

# Debian packages for amd64 and armhf (release builds in build/pkg) into build/packages, and
# their test: the unpacked amd64 packages run and build a plug-in; lintian where installed.
package:
	python3 packaging/build_debs.py --jobs $(JOBS)

package-test: package
	python3 tests/package/package_test.py build/packages

check-all: test tsan armhf fuzz-short package-test

clean:
	rm -rf build
