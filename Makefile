# Set-up and entry points. `make run` and `make test` are all a fresh Debian
# machine needs: missing packages are installed first (as root or via sudo).
SHELL := /bin/bash
JOBS ?= $(shell nproc)
BUILD ?= build
GENERATOR := -G Ninja

DEB_PACKAGES := cmake ninja-build g++ pkg-config libpoco-dev libboost-dev libsqlite3-dev \
                zlib1g-dev googletest libgtest-dev libgmock-dev curl \
                libsystemd-dev dbus libssl-dev
BENCH_PACKAGES := rsync
BROWSER_PACKAGES := chromium
FUZZ_PACKAGES := clang libclang-rt-14-dev
TSA_PACKAGES := clang
# cpack's dependency scan (dpkg-shlibdeps): `make package` and its test.
PACKAGE_PACKAGES := dpkg-dev
PREFIX ?= /usr/local

# One compiler cache for every build folder when ccache is there; the base
# folder lets clones at other paths share its entries.
CCACHE := $(shell command -v ccache 2>/dev/null)
export CCACHE_BASEDIR ?= $(CURDIR)
# WERROR=1 (the CI does so) turns every warning into an error.
ALL_CMAKE_ARGS = $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache) \
                 $(if $(WERROR),-DCMAKE_COMPILE_WARNING_AS_ERROR=ON) $(CMAKE_ARGS)

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps build build-tsa test test-asan test-tsan run bench browser-deps clean format \
        install package fuzz FORCE

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
	@if [ -f tests/browser/package.json ] && { [ ! -d tests/browser/node_modules/playwright-core ] || [ ! -d tests/browser/node_modules/axe-core ]; }; then \
	  (cd tests/browser && npm install --no-audit --no-fund --silent); fi

# The arguments of the last configure. A change rewrites the file, and the
# configure then starts from an empty cache: an argument left out must not
# live on in CMakeCache.txt.
$(BUILD)/cmake-args.txt: FORCE
	@mkdir -p $(BUILD)
	@echo '$(strip $(ALL_CMAKE_ARGS))' | cmp -s - $@ || echo '$(strip $(ALL_CMAKE_ARGS))' > $@

FORCE:

$(BUILD)/build.ninja: $(BUILD)/cmake-args.txt | deps
	rm -f $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) $(GENERATOR) $(ALL_CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: deps browser-deps
	$(call apt_install,$(PACKAGE_PACKAGES))
	$(MAKE) --no-print-directory build
	@# The benches share the tests' support code: built here, a change to it
	@# that breaks them fails the tests instead of the next `make bench`.
	cmake --build $(BUILD) --target bench_all -j $(JOBS)
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

# Compiles the libraries and the host with clang's thread-safety analysis in
# build-tsa (nothing runs): a member read without the mutex marked as its
# guard, or a lock taken and not released, fails the build.
build-tsa: deps
	$(call apt_install,$(TSA_PACKAGES))
	$(MAKE) --no-print-directory build-tsa/build.ninja BUILD=build-tsa WERROR=1 \
	  CMAKE_ARGS="-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-Wthread-safety -DBACKUP_SKIP_BROWSER=ON"
	cmake --build build-tsa --target backup backup-host -j $(JOBS)

# DESTDIR is honoured (cmake --install reads it).
install: build
	@if [ -w "$(PREFIX)" ] || [ -n "$(DESTDIR)" ]; then cmake --install $(BUILD) --prefix "$(PREFIX)"; \
	else $(SUDO) cmake --install $(BUILD) --prefix "$(PREFIX)"; fi

# build/backup-host_VERSION_ARCH.deb, files under /usr.
package: build
	$(call apt_install,$(PACKAGE_PACKAGES))
	cmake --build $(BUILD) --target package

run: build
	@if [ -x $(BUILD)/backup-host ]; then exec $(BUILD)/backup-host $(ARGS); \
	else echo "backup-host is not built yet: the host program is still missing"; fi

bench: deps
	$(call apt_install,$(BENCH_PACKAGES))
	$(MAKE) --no-print-directory build-bench/build.ninja BUILD=build-bench CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Release"
	cmake --build build-bench --target bench_all -j $(JOBS)
	@set -e; for b in build-bench/bench_*; do [ -x "$$b" ] && echo "== $$b" && "$$b" $(BENCH_ARGS); done

# Builds the fuzz targets with clang (libFuzzer, ASan+UBSan) and runs each for
# FUZZ_SECONDS on its committed seeds; what it finds new goes into
# build-fuzz/corpus, a failing input into build-fuzz/artifacts. Any crash,
# sanitizer report or failed check fails the target.
FUZZ_SECONDS ?= 600
FUZZ_TARGETS := web_request peer_id po_manager peer_frame
fuzz: deps
	$(call apt_install,$(FUZZ_PACKAGES))
	@[ -f build-fuzz/build.ninja ] || CC=clang CXX=clang++ cmake -S . -B build-fuzz $(GENERATOR) \
	  -DBACKUP_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBACKUP_SKIP_BROWSER=ON $(CMAKE_ARGS)
	cmake --build build-fuzz --target fuzz_all -j $(JOBS)
	@set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t build-fuzz/artifacts; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  build-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=120 -rss_limit_mb=4096 \
	    -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/$$t- \
	    build-fuzz/corpus/$$t fuzz/corpus/$$t; \
	done

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan build-tsa build-bench build-fuzz
