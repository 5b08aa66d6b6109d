# Entry points for a newcomer. Each target sets up what it needs on a fresh
# Debian 12 machine (packages, configure, build) before doing its job.

BUILD      := build
ASAN_BUILD := build-asan
FUZZ_BUILD := build-fuzz
FUZZ_SECONDS ?= 20
JOBS       ?= $(shell nproc)
CTEST      := ctest --output-on-failure -j $(JOBS) --timeout 300

.PHONY: all deps build run test test-plain test-asan fuzz fuzz-short clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/check-display
	./$(BUILD)/wexlo

test: test-plain test-asan fuzz-short

# The two-hosts check drives real desktops: it needs the desktop tools.
test-plain: build
	@scripts/install-deps --desktop
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen $(CTEST)

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DWEXLO_SANITIZE=ON

test-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen \
	    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(CTEST)

$(FUZZ_BUILD)/build.ninja:
	cmake -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++

fuzz-short: deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD)
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz: FUZZ_SECONDS := 600
fuzz: fuzz-short

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
