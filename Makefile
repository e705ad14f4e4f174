# Front door. Each target installs missing Debian packages first, then uses a
# CMake preset (see CMakePresets.json) with its own build folder under build/.
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 60

.PHONY: all deps build test demo bench install asan tsan fuzz clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

test: build
	@ctest --preset default -j $(JOBS)

demo: build
	@scripts/demo build/default

# Builds the libraries and the benchmark programs only, then runs them and
# prints one summary table.
bench:
	@scripts/install-deps --bench
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS) --target benchmarks
	@scripts/run-benchmarks build/release

install: deps
	@cmake --preset release -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build --preset release -j $(JOBS)
	@cmake --install build/release

asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)
	@ctest --preset asan -j $(JOBS)

tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j $(JOBS)
	@ctest --preset tsan -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS, under ASan+UBSan, built with clang.
fuzz:
	@scripts/install-deps --fuzz
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)
	@scripts/run-fuzzers build/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build
