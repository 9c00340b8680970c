# Wraps CMake: `make demo`, `make check`, `make install PREFIX=... DESTDIR=...`.
BUILD ?= build
PREFIX ?= /usr/local
WERROR ?= OFF
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build check check-target check-sanitize coverage demo bench install package clean

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) -DWARNINGS_AS_ERRORS=$(WERROR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole test suite built for 32-bit big-endian PowerPC and run under emulation.
TARGET_BUILD ?= build-ppc
check-target:
	BUILD=$(TARGET_BUILD) WERROR=$(WERROR) JOBS=$(JOBS) sh scripts/check-target.sh

# The whole suite built with AddressSanitizer (leaks included) and UndefinedBehaviorSanitizer;
# any report fails the test that caused it.
check-sanitize: deps
	cmake -S . -B build-asan -DSANITIZE=ON -DWARNINGS_AS_ERRORS=$(WERROR) $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

# Line and branch coverage of the product code by the whole suite, in its own build.
coverage:
	@sh scripts/install-deps.sh gcovr
	cmake -S . -B build-cov -DCOVERAGE=ON -DCMAKE_BUILD_TYPE=Debug $(CMAKE_FLAGS)
	cmake --build build-cov -j $(JOBS)
	sh scripts/coverage.sh build-cov $(JOBS)

# libFuzzer targets, built with clang in build-fuzz; each runs FUZZ_SECONDS from its seeds.
FUZZ_SECONDS ?= 60
.PHONY: fuzz
fuzz:
	@sh scripts/install-deps.sh clang libclang-rt-14-dev
	cmake -S fuzz -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DWARNINGS_AS_ERRORS=$(WERROR)
	cmake --build build-fuzz -j $(JOBS)
	sh fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

demo: build
	@sh scripts/demo.sh $(BUILD)

# Benchmarks in their own optimised build; BENCH_MB sets the size of the path list.
BENCH_MB ?= 500
bench:
	@sh scripts/install-deps.sh libbenchmark-dev time
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build build-bench -j $(JOBS)
	bash bench/run.sh build-bench $(BENCH_MB)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

# A Debian package of the installed tree, written to $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD)
