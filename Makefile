# The two ways to start: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2

.PHONY: run test setup build asan clean

setup:
	@bash scripts/setup.sh

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

run: build
	@bash scripts/run.sh $(BUILD)

# Everything through CTest, then the unit tests once more under ASan and UBSan.
test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)
	$(MAKE) --no-print-directory asan

asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DBRV_SANITIZE=ON \
	  -DBRV_DIRS="base;catalogue;usb;protocols;package;vhandset;tests" \
	  -DBRV_TEST_DIRS="support;base;catalogue;digests;usb;vhandset;vhandset_firmware;protocols;package"
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS) -L unit

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
