# Entry points for a newcomer. Each target sets up what it needs on a fresh
# Debian 12 machine (packages, configure, build) before doing its job.

BUILD      := build
ASAN_BUILD := build-asan
FUZZ_BUILD := build-fuzz
# Only what the package holds, without the test suite, hardened as Debian
# builds its packages.
PACKAGE_BUILD := build-package
FUZZ_SECONDS ?= 10
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
CTEST      := ctest --output-on-failure -j $(JOBS) --timeout 300

.PHONY: all deps test-deps build run install uninstall package test test-plain test-asan \
        fuzz fuzz-short bench clean

all: build

deps:
	@scripts/install-deps

# --desktop: the two-hosts check drives real desktops.
test-deps:
	@scripts/install-deps --test --desktop

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/check-display
	./$(BUILD)/wexlo

# DESTDIR is honoured as well, for staged installs. The folders the install
# is about to create are noted first (from a trial install into a scratch
# folder), so that uninstall can take them away again.
install: build
	@rm -rf $(BUILD)/trial-install
	@DESTDIR=$(abspath $(BUILD))/trial-install cmake --install $(BUILD) --prefix $(PREFIX) >/dev/null
	@cd $(BUILD)/trial-install && find . -mindepth 1 -type d | sed 's|^\.||' | \
	    while read -r dir; do [ -d "$(DESTDIR)$$dir" ] || echo "$(DESTDIR)$$dir"; done \
	    >> $(abspath $(BUILD))/install_folders.txt
	@rm -rf $(BUILD)/trial-install
	cmake --install $(BUILD) --prefix $(PREFIX)

# Removes what the last install put in place, and the folders installs
# created once they are empty, the deepest first.
uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "nothing installed from $(BUILD)"; exit 1; }
	xargs -d '\n' rm -f -- < $(BUILD)/install_manifest.txt
	@if [ -f $(BUILD)/install_folders.txt ]; then \
	    sort -ru $(BUILD)/install_folders.txt | while read -r dir; do \
	        [ ! -d "$$dir" ] || rmdir -- "$$dir" 2>/dev/null || echo "$$dir"; done \
	        > $(BUILD)/install_folders.left; \
	    mv $(BUILD)/install_folders.left $(BUILD)/install_folders.txt; fi

$(PACKAGE_BUILD)/build.ninja:
	cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DBUILD_TESTING=OFF -DWEXLO_HARDEN=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON

package: deps $(PACKAGE_BUILD)/build.ninja
	@scripts/install-deps --package
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target wexlo wexlo-send chime man_pages
	cd $(PACKAGE_BUILD) && cpack -G DEB

# Every stage runs even when an earlier one fails; the last line sums them up.
test:
	@rm -f $(BUILD)/ctest.log $(ASAN_BUILD)/ctest.log $(FUZZ_BUILD)/fuzz_*.log
	@status=0; \
	$(MAKE) --no-print-directory test-plain || status=1; \
	$(MAKE) --no-print-directory test-asan || status=1; \
	$(MAKE) --no-print-directory fuzz-short || status=1; \
	scripts/test-summary $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) || status=1; \
	exit $$status

test-plain: test-deps build
	rm -f $(BUILD)/ctest.log
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen $(CTEST) --output-log ctest.log

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWEXLO_SANITIZE=ON

test-asan: test-deps $(ASAN_BUILD)/build.ninja
	rm -f $(ASAN_BUILD)/ctest.log
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen \
	    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST) --output-log ctest.log

$(FUZZ_BUILD)/build.ninja:
	cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++

fuzz-short: test-deps $(FUZZ_BUILD)/build.ninja
	rm -f $(FUZZ_BUILD)/fuzz_*.log
	cmake --build $(FUZZ_BUILD)
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz: FUZZ_SECONDS := 600
fuzz: fuzz-short

# Not part of test: prints one table of speed figures. BUILD_DIR=DIR measures
# the program built there as it is (another checkout's, say); the instruments
# come from this checkout's build.
BUILD_DIR ?= $(BUILD)

bench: deps $(BUILD)/build.ninja
	@scripts/install-deps --bench
	cmake --build $(BUILD) -j $(JOBS) --target wexlo wexlo-send receive-rate minimal-receiver viewer-load
	bench/run-bench --tools $(BUILD)/bench $(BUILD_DIR)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD)
