# The two ways to start: `make run` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= 2

.PHONY: run test setup build asan fuzz package clean

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
	  -DBRV_DIRS="base;digest;image;usb;protocols;signature;package;catalogue;flash;vhandset;tests;fuzz" \
	  -DBRV_TEST_DIRS="support;base;digest;catalogue;usb;vhandset;vhandset_firmware;protocols;package;image;flash"
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS) -L unit

# libFuzzer on every parser of outside input (clang, ASan, UBSan): FUZZ_SECONDS per target.
fuzz: setup
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_TARGETS="$(FUZZ_TARGETS)" JOBS=$(JOBS) bash fuzz/run.sh $(FUZZ_BUILD)

# The Debian package (CPack; dependencies from dpkg-shlibdeps): $(BUILD)/brenvik_<version>_<arch>.deb.
# Builds only what the package holds, not the tests and benchmarks.
package: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS) --target deb

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
