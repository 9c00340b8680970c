# Wraps CMake: `make demo`, `make check`, `make install PREFIX=... DESTDIR=...`.
BUILD ?= build
PREFIX ?= /usr/local
WERROR ?= OFF
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps configure build check demo install clean

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX) -DWARNINGS_AS_ERRORS=$(WERROR) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@sh scripts/demo.sh $(BUILD)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
