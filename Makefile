# Top-level driver. Every target installs what is missing first (scripts/setup.sh).
BUILD      ?= build
JOBS       ?= $(shell nproc)
SETUP_STAMP := $(BUILD)/.setup-ok
WINARCH    := $(shell /usr/lib/wine/wine --version >/dev/null 2>&1 && echo win32 || echo win64)
CMAKE_GEN  := -G Ninja -Wno-dev

.PHONY: all setup dll native win64 test test-native test-asan test-fuzz fuzz-long bench test-wine demo clean \
        fuzz-dispatch leak-long fuzz-hostile

all: dll native

$(SETUP_STAMP): scripts/setup.sh scripts/wineprefix.sh
	BUILD_DIR=$(abspath $(BUILD)) bash scripts/setup.sh
	@touch $@

setup: $(SETUP_STAMP)

$(BUILD)/win32/build.ninja: $(SETUP_STAMP)
	cmake $(CMAKE_GEN) -S . -B $(BUILD)/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release

$(BUILD)/win64/build.ninja: $(SETUP_STAMP)
	cmake $(CMAKE_GEN) -S . -B $(BUILD)/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release

$(BUILD)/native/build.ninja: $(SETUP_STAMP)
	cmake $(CMAKE_GEN) -S . -B $(BUILD)/native -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(BUILD)/fuzz/build.ninja: $(SETUP_STAMP)
	cmake $(CMAKE_GEN) -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTREL_FUZZ=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

$(BUILD)/asan/build.ninja: $(SETUP_STAMP)
	cmake $(CMAKE_GEN) -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DTREL_SANITIZE=ON \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

# The shipped DLL: build/win32/TrelClientHelper.dll (i686, stripped; symbols in .dll.dbg).
dll: $(BUILD)/win32/build.ninja
	cmake --build $(BUILD)/win32 -j $(JOBS)

# The same sources for x86_64: the Wine test vehicle where the kernel cannot run 32-bit code.
win64: $(BUILD)/win64/build.ninja
	cmake --build $(BUILD)/win64 -j $(JOBS)

native: $(BUILD)/native/build.ninja
	cmake --build $(BUILD)/native -j $(JOBS)

test-native: native
	cd $(BUILD)/native && ctest --output-on-failure -j $(JOBS)

test-asan: $(BUILD)/asan/build.ninja
	cmake --build $(BUILD)/asan -j $(JOBS)
	cd $(BUILD)/asan && ctest --output-on-failure -j $(JOBS)

test-wine: native dll $(if $(filter win64,$(WINARCH)),win64)
	cd $(BUILD)/win32 && ctest --output-on-failure -L static
	cd $(BUILD)/$(WINARCH) && ctest --output-on-failure

# Every fuzz target over its seed corpus for a short time (FUZZ_SECONDS each); fuzz-long runs 10 minutes each.
FUZZ_SECONDS ?= 15
test-fuzz: $(BUILD)/fuzz/build.ninja
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	cd $(BUILD)/fuzz && TREL_FUZZ_SECONDS=$(FUZZ_SECONDS) ctest --output-on-failure -L fuzz

fuzz-long:
	$(MAKE) test-fuzz FUZZ_SECONDS=600

# Longer runs of the Wine tier's script-argument fuzzer (FUZZ_CALLS calls from FUZZ_SEED) and of the
# long-use check (10,000 calls per path).
FUZZ_CALLS ?= 100000
FUZZ_SEED  ?= 20261208
fuzz-dispatch: native dll $(if $(filter win64,$(WINARCH)),win64)
	cd $(BUILD)/$(WINARCH) && TREL_FUZZ_CALLS=$(FUZZ_CALLS) TREL_FUZZ_SEED=$(FUZZ_SEED) \
	  ctest --output-on-failure -R 'wine\.(setup|cleanup|dispatch_fuzz)'

leak-long: native dll $(if $(filter win64,$(WINARCH)),win64)
	cd $(BUILD)/$(WINARCH) && TREL_LONG_USE_CALLS=10000 ctest --output-on-failure -R 'wine\.(setup|cleanup|long_use)'

# The most exposed readers fuzzed 30 minutes each; the grown corpora replace the seed corpora minimised.
fuzz-hostile: $(BUILD)/fuzz/build.ninja
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	FUZZ_SECONDS=$(or $(HOSTILE_SECONDS),1800) JOBS=$(JOBS) bash scripts/fuzz-hostile.sh $(abspath $(BUILD))/fuzz

bench: native
	BUILD_DIR=$(abspath $(BUILD)) bash scripts/bench.sh

test: test-native test-asan test-fuzz test-wine
	@echo "all test tiers passed (Wine tests ran as $(WINARCH))"

demo: native dll $(if $(filter win64,$(WINARCH)),win64)
	BUILD_DIR=$(abspath $(BUILD)) TREL_WINARCH=$(WINARCH) bash scripts/demo.sh

clean:
	rm -rf $(BUILD)/native $(BUILD)/asan $(BUILD)/fuzz $(BUILD)/win32 $(BUILD)/win64
