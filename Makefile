# Set up on a fresh Debian 12 machine (as root):
#   make run      install what is missing, build the two programs, start the window
#   make test     install what is missing, build everything, run every test
#   make install  the programs, the manual page, the desktop entry, its icon and
#                 the polkit policy into PREFIX (default /usr/local; a folder of
#                 your own needs no root: make install PREFIX=$HOME/.local)
BUILD ?= build
PREFIX ?= /usr/local
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
JOBS ?= $(shell nproc)
# What running needs; the tests and benchmarks are built by `make test` only.
PROGRAMS ?= torvane torvane-recovery

.PHONY: all deps configure programs build run test install clean

all: build

deps:
	@bash tools/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=RelWithDebInfo

programs: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(PROGRAMS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: programs
	@bash tools/run.sh $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900

install: programs
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)
