# Front door for building, running and testing Tambrook. Every target installs the Debian
# packages that are missing first, so a fresh machine needs nothing but `make`.

SHELL     := /bin/bash
JOBS      ?= 2
BUILD     ?= build
CMAKE_ARGS ?=

.PHONY: all deps configure build run demo test bench bench-web screenshot test-sanitize test-tsan test-debug fuzz package clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# The program as a user runs it: the real-board backend (libftdi1).
run: build
	$(BUILD)/tambrook

# The program on one simulated board whose relays survive restarts and whose traffic is traced.
demo: build
	mkdir -p $(BUILD)/demo
	cd $(BUILD)/demo && TAMBROOK_SIMULATED_BOARDS=1 \
	    TAMBROOK_SIMULATED_STATE=board.state \
	    TAMBROOK_SIMULATED_TRACE=board.trace \
	    ../tambrook

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

test-sanitize: deps
	cmake --preset asan
	cmake --build --preset asan -j$(JOBS)
	cd build-asan && QT_QPA_PLATFORM=offscreen \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    ctest --output-on-failure -j$(JOBS)

# The suite under ThreadSanitizer. Qt and glib are not built for it, so races it reports inside
# them (whose locks it cannot see) are suppressed; a race in Tambrook's own code fails the run.
test-tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j$(JOBS)
	cd build-tsan && QT_QPA_PLATFORM=offscreen \
	    TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp second_deadlock_stack=1 history_size=4 die_after_fork=0" \
	    ctest --output-on-failure -j$(JOBS)

# The suite in a Debug build, where memory that a Release build leaves in place by luck is reused.
test-debug: deps
	cmake --preset debug
	cmake --build --preset debug -j$(JOBS)
	cd build-debug && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)

bench: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build build-release -j$(JOBS) --target tambrook_bench
	QT_QPA_PLATFORM=offscreen build-release/bench/tambrook_bench $(CURDIR)/docs/performance.md

# How soon the web page shows a change, in a headless Chromium (printed, not written to the docs).
bench-web: deps
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build build-release -j$(JOBS) --target tambrook-cli
	/usr/bin/python3 bench/web_latency.py build-release/tambrook-cli

# A .deb with the program, its desktop launcher, icon and udev rule, in build/.
package: build
	cd $(BUILD) && cpack -G DEB

screenshot: build
	mkdir -p docs
	QT_QPA_PLATFORM=offscreen $(BUILD)/tests/tambrook_screenshot docs

# Each libFuzzer target for FUZZ_SECONDS, starting from the seed corpora under fuzz/corpus.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = program_file step_text labels request mqtt_command boards_conf http_body
fuzz:
	@scripts/install-deps.sh clang libclang-rt-14-dev
	cmake -S fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++
	cmake --build build-fuzz -j$(JOBS)
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p build-fuzz/corpus-$$t; \
	    build-fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        build-fuzz/corpus-$$t fuzz/corpus/$$t 2>&1 | grep -E "stat::number_of_executed_units|ERROR|Done" ; \
	    test $${PIPESTATUS[0]} -eq 0 || exit 1; \
	done

clean:
	rm -rf $(BUILD) build-asan build-tsan build-debug build-release build-fuzz
