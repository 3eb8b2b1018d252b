# Entry points for people and CI. `make test` is the whole check.
# Each job installs (as root) or checks (as another user) only the Debian
# packages it needs: cmake/install-deps.sh lists them by job.
SHELL := /bin/bash
JOBS ?= 2
SAMPLE_DIR := build/sample
DIST_DIR := dist
DIST_PRESETS := release win64-release win32-release
DEPS := sh cmake/install-deps.sh
# The Python of the Windows build's check: Debian's, which has pefile.
PYTHON ?= /usr/bin/python3

.PHONY: all deps native win64 win32 release test test-native test-win64 demo bench fuzz dist dist-check clean

all: native

# Every job's packages.
deps:
	@$(DEPS) all

native:
	@$(DEPS) build tests
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

win64:
	@$(DEPS) build tests windows
	cmake --preset win64 >/dev/null
	cmake --build --preset win64 -j $(JOBS)

# 32-bit programs cannot run on this kernel: the build is checked statically.
win32:
	@$(DEPS) build tests windows
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS)
	$(PYTHON) tests/acceptance/check_windows_build.py build/win32 i686

release:
	@$(DEPS) build
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)

test-native: native
	ctest --preset native -j $(JOBS)

test-win64: win64
	ctest --preset win64

# Everything: native tests with sanitizers, the Windows build under wine64,
# and the 32-bit Windows build (built and checked, not run).
test: test-native test-win64 win32
	@echo "all test suites passed"

# The main job: change the icon of a sample executable made by the project.
# It needs only the build's packages (compiler, CMake, Ninja, stb).
demo: release
	@mkdir -p $(SAMPLE_DIR)
	build/release/tests/support/marovi-sample $(SAMPLE_DIR)/sample.exe $(SAMPLE_DIR)/sample.ico
	@echo "--- resources before"; build/release/cli/marovi-cli list $(SAMPLE_DIR)/sample.exe
	build/release/cli/marovi-cli set-icon $(SAMPLE_DIR)/sample.exe $(SAMPLE_DIR)/sample.ico
	@echo "--- resources after"; build/release/cli/marovi-cli list $(SAMPLE_DIR)/sample.exe

# Releases: the Debian package of marovi-cli and a zip of the Windows programs
# per architecture, from the release presets, into dist/.
dist:
	@$(DEPS) build tests windows packaging
	@for preset in $(DIST_PRESETS); do \
	  cmake --preset $$preset >/dev/null && cmake --build --preset $$preset -j $(JOBS) || exit 1; \
	  rm -rf build/$$preset/package; \
	  cpack --config build/$$preset/CPackConfig.cmake >/dev/null || exit 1; \
	done
	rm -rf $(DIST_DIR)
	mkdir -p $(DIST_DIR)
	cp build/release/package/*.deb build/win64-release/package/*.zip build/win32-release/package/*.zip \
	  $(DIST_DIR)/
	sh node/pack.sh build/node-package build/release/cli/marovi-cli build/win64-release/cli/marovi-cli.exe
	cp build/node-package/marovi-rcedit-*.tgz $(DIST_DIR)/
	cd $(DIST_DIR) && sha256sum *.deb *.zip *.tgz > SHA256SUMS
	@ls -l $(DIST_DIR)

# The packages checked as a user meets them (a few minutes: not in `make test`).
dist-check: dist
	sh tests/dist/dist_check.sh $(DIST_DIR) build/release/tests/support/marovi-sample build/dist-check

bench:
	@$(DEPS) build bench
	bash bench/run.sh

fuzz:
	@$(DEPS) build tests fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target fuzz_read fuzz_commit fuzz_res_file fuzz_seeds

clean:
	rm -rf build $(DIST_DIR)
