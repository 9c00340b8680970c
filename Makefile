# Wraps CMake: `make demo`, `make check`, `make install PREFIX=... DESTDIR=...`, and builds the
# Debian packages (`make package`). Each target first makes sure the packages it uses are
# installed (scripts/install-deps.sh).
BUILD ?= build
PREFIX ?= /usr/local
WERROR ?= OFF
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The build's own sub-makes say nothing about the folders they enter.
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build check check-target check-sanitize check-fresh coverage demo \
	bench fuzz install uninstall package clean

deps = sh scripts/install-deps.sh
# $(call configure_in,FOLDER,CACHE OPTIONS): configures FOLDER with the common options and the
# given ones; build_in builds it as well.
configure_in = cmake -S . -B $(1) --log-level=NOTICE -DWARNINGS_AS_ERRORS=$(WERROR) $(2) \
	$(CMAKE_FLAGS)
build_in = $(call configure_in,$(1),$(2)) && cmake --build $(1) -j $(JOBS)
# $(call test_in,FOLDER): runs every test built in FOLDER.
test_in = cd $(1) && ctest --output-on-failure -j $(JOBS)

all: build

deps:
	@$(deps) build

configure: deps
	$(call configure_in,$(BUILD),-DCMAKE_INSTALL_PREFIX=$(PREFIX))

build: deps
	$(call build_in,$(BUILD),-DCMAKE_INSTALL_PREFIX=$(PREFIX))

# The tests are switched back on in case `make demo CMAKE_FLAGS=-DBUILD_TESTING=OFF` left them off.
check:
	@$(deps) check
	$(call build_in,$(BUILD),-DCMAKE_INSTALL_PREFIX=$(PREFIX) -DBUILD_TESTING=ON)
	$(call test_in,$(BUILD))

# The whole test suite built for 32-bit big-endian PowerPC and run under emulation.
TARGET_BUILD ?= build-ppc
check-target:
	@BUILD=$(TARGET_BUILD) WERROR=$(WERROR) JOBS=$(JOBS) sh scripts/check-target.sh

# The whole suite built with AddressSanitizer (leaks included) and UndefinedBehaviorSanitizer;
# any report fails the test that caused it.
check-sanitize:
	@$(deps) check-sanitize
	$(call build_in,build-asan,-DSANITIZE=ON)
	$(call test_in,build-asan)

# The Quick start on a minimal Debian 12 root: make demo, make check and make install as root,
# the non-root refusal, and the Debian packages built, installed and purged, in a chroot and
# then on the root booted with systemd under systemd-nspawn (the timer and the service at work).
check-fresh:
	@sh scripts/check-fresh.sh

# Line and branch coverage of the product code by the whole suite, in its own build.
coverage:
	@$(deps) coverage
	$(call build_in,build-cov,-DCOVERAGE=ON -DCMAKE_BUILD_TYPE=Debug)
	sh scripts/coverage.sh build-cov $(JOBS)

# libFuzzer targets, built with clang in build-fuzz; each runs FUZZ_SECONDS from its seeds. The
# fuzz build leaves the tests out (clang does not take the failing allocator's source), and its
# compiled-in scoreboard path names nothing: the targets work on scratch files only.
FUZZ_SECONDS ?= 60
fuzz:
	@$(deps) fuzz
	$(call build_in,build-fuzz,-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
		-DBUILD_FUZZ=ON -DBUILD_TESTING=OFF \
		-DSBSCRUB_DEFAULT_SCOREBOARD=/nonexistent/fuzz.scoreboard)
	sh fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

demo: build
	@sh scripts/demo.sh $(BUILD)

# Benchmarks in their own optimised build; BENCH_MB sets the size of the path list.
BENCH_MB ?= 300
bench:
	@$(deps) bench
	$(call build_in,build-bench,-DCMAKE_BUILD_TYPE=Release -DBUILD_BENCH=ON -DBUILD_TESTING=OFF)
	bash bench/run.sh build-bench $(BENCH_MB)

# What make install installed is kept in $(BUILD)/installed-files for make uninstall (the tests'
# own installs rewrite CMake's install_manifest.txt); make uninstall removes those files under
# the same DESTDIR, and the project's own folders once they are empty.
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)
	@sh scripts/uninstall.sh --record $(BUILD)/install_manifest.txt $(BUILD)/installed-files

uninstall:
	@DESTDIR=$(DESTDIR) sh scripts/uninstall.sh $(BUILD)/installed-files

# The Debian packages bigram-tools and bigram-tools-dev, built by dpkg-buildpackage from a copy
# of the tree in $(BUILD)/package-build, written with their .buildinfo and .changes files to
# $(BUILD)/packages and checked with lintian: any error or warning fails.
package:
	@$(deps) package
	sh scripts/build-packages.sh $(BUILD)/package-build $(BUILD)/packages
	lintian --pedantic --display-info --fail-on error,warning $(BUILD)/packages/*.changes

# Every folder that the targets above build in, CI's (.ci/run) among them, but the bare Debian
# root that check-fresh keeps in build/fresh: debootstrap takes minutes to make it again. rm keeps
# to the tree's file system, so that what an interrupted check-fresh left mounted in its copies
# (/proc, /sys, /dev) is left alone.
build_dirs = $(sort $(BUILD) $(TARGET_BUILD) build-ppc build-asan build-cov build-fuzz \
	build-bench build-bench-ppc build-ci build-ci-ppc build-ci-portable)
clean:
	rm -rf --one-file-system $(filter-out build,$(build_dirs))
	[ ! -d build ] || find build -mindepth 1 \( -path build/fresh -o \
		-path 'build/fresh/*-minbase.tar' \) -o -prune -exec rm -rf --one-file-system {} +
