# The two commands of the README, and the parts of `make test`.
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 30

.PHONY: demo test check sanitize threads valgrind fuzz windows build configure clean

demo: build
	$(BUILD)/bin/tavrin demo $(BUILD)/demo

# What CI runs: the suite; the suite again built with AddressSanitizer and
# UndefinedBehaviorSanitizer; the concurrency tests under ThreadSanitizer; the
# end-to-end tests under valgrind; every fuzz target for FUZZ_SECONDS on top of
# its seed and regression corpora; the Windows DLLs cross-built, each exporting
# only its one function and carrying its version record, then run under Wine
# and compared byte for byte with the Linux build.
test: check sanitize threads valgrind fuzz windows

# The quick loop while developing: the suite only.
check: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Line tables (-g1) are all a report needs, and -O1 keeps this build short.
sanitize:
	scripts/ensure-deps.sh
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_SANITIZE=ON \
	  '-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG' >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	UBSAN_OPTIONS=print_stacktrace=1 LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The plug-ins called from four threads at once, every access checked.
threads:
	scripts/ensure-deps.sh
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_SANITIZE_THREAD=ON >/dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target hostile_test
	TSAN_OPTIONS=halt_on_error=1:die_after_fork=0 $(TSAN_BUILD)/bin/hostile_test --gtest_filter='Concurrency.*'

valgrind: build
	scripts/valgrind-e2e.sh $(BUILD)

# A longer local run: make fuzz FUZZ_SECONDS=600 (two targets at a time).
fuzz:
	scripts/fuzz.sh -t $(FUZZ_SECONDS)

windows:
	scripts/windows-build.sh build-windows $(BUILD)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	scripts/ensure-deps.sh browser
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) build-fuzz build-windows
