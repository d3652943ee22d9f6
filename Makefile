# The two commands of the README. Both set up what they need, then build.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: demo test build configure clean

demo: build
	$(BUILD)/bin/tavrin demo $(BUILD)/demo

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	scripts/ensure-deps.sh
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null

clean:
	rm -rf $(BUILD)
