# Set-up and entry points. `make run` and `make test` are all a fresh Debian
# machine needs: missing packages are installed first (as root or via sudo).
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD ?= build
GENERATOR := -G Ninja

DEB_PACKAGES := cmake ninja-build g++ pkg-config libpoco-dev libboost-dev libsqlite3-dev \
                libtinyxml-dev zlib1g-dev googletest libgtest-dev libgmock-dev curl
BENCH_PACKAGES := rsync
BROWSER_PACKAGES := chromium

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build test test-asan test-tsan run bench browser-deps clean format

all: build

# Installs only what dpkg does not already report as installed.
define apt_install
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call apt_install,$(DEB_PACKAGES))

# node and npm may come from another package source than Debian's (nodejs
# from a vendor repository ships its own npm): install Debian's only when the
# commands are missing.
browser-deps:
	$(call apt_install,$(BROWSER_PACKAGES))
	@command -v node >/dev/null || { $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq nodejs; }
	@command -v npm >/dev/null || { $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq npm; }
	@if [ -f tests/browser/package.json ] && [ ! -d tests/browser/node_modules/playwright-core ]; then \
	  (cd tests/browser && npm install --no-audit --no-fund --silent); fi

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) $(GENERATOR) $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: deps browser-deps
	$(MAKE) --no-print-directory build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

test-asan: deps
	$(MAKE) --no-print-directory build BUILD=build-asan CMAKE_ARGS="-DBACKUP_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug -DBACKUP_SKIP_BROWSER=ON"
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --output-on-failure -j $(JOBS) --timeout 900

test-tsan: deps
	$(MAKE) --no-print-directory build BUILD=build-tsan CMAKE_ARGS="-DBACKUP_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug -DBACKUP_SKIP_BROWSER=ON"
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --output-on-failure -j $(JOBS) --timeout 900

run: build
	@if [ -x $(BUILD)/backup-host ]; then exec $(BUILD)/backup-host $(ARGS); \
	else echo "backup-host is not built yet: the host program is still missing"; fi

bench: deps
	$(call apt_install,$(BENCH_PACKAGES))
	$(MAKE) --no-print-directory build-bench/build.ninja BUILD=build-bench CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Release"
	cmake --build build-bench --target bench_all -j $(JOBS)
	@set -e; for b in build-bench/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b" $(BENCH_ARGS); done

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan build-bench
