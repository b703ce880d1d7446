# Top-level driver. Every target installs what is missing first (scripts/setup.sh).
BUILD      ?= build
JOBS       ?= $(shell nproc)
SETUP_STAMP := $(BUILD)/.setup-ok
WINARCH    := $(shell /usr/lib/wine/wine --version >/dev/null 2>&1 && echo win32 || echo win64)
CMAKE_GEN  := -G Ninja -Wno-dev

.PHONY: all setup dll native win64 test test-native test-asan test-fuzz fuzz-long bench test-wine demo clean \
        fuzz-dispatch leak-long fuzz-hostile dist msi test-msi test-i686

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
	cd $(BUILD)/$(WINARCH) && TREL_LONG_USE_CALLS=10000 TREL_TEST_TIMEOUT=3600 ctest --output-on-failure -R 'wine\.(setup|cleanup|long_use)'

# The most exposed readers fuzzed 30 minutes each; the grown corpora replace the seed corpora minimised.
fuzz-hostile: $(BUILD)/fuzz/build.ninja
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	FUZZ_SECONDS=$(or $(HOSTILE_SECONDS),1800) JOBS=$(JOBS) bash scripts/fuzz-hostile.sh $(abspath $(BUILD))/fuzz

bench: native
	BUILD_DIR=$(abspath $(BUILD)) bash scripts/bench.sh

# The shipped i686 DLL in a 32-bit prefix of its own (build/wineprefix-i686): natively where this
# kernel runs 32-bit code (half a minute), under qemu-user emulation elsewhere (10 to 12 minutes, and
# about 19 more the first time for the prefix).
test-i686: dll $(BUILD)/native/build.ninja
	cmake --build $(BUILD)/native -j $(JOBS) --target trelimg
	BUILD_DIR=$(abspath $(BUILD)) bash scripts/test-i686.sh

# Every tier; the i686 tier only where it runs natively (under emulation it would take CI past its time limit).
test: test-native test-asan test-fuzz test-wine test-msi
	@if [ "$(WINARCH)" = win32 ]; then $(MAKE) --no-print-directory test-i686; \
	 else echo "test-i686 skipped: this kernel runs no 32-bit code; run 'make test-i686' (qemu-user, 10 to 12 minutes)"; fi
	@echo "all test tiers passed (Wine tests ran as $(WINARCH))"

# Only what the demo runs: the DLL of the architecture Wine runs here, trelimg and the pty device model.
demo: $(BUILD)/native/build.ninja $(BUILD)/$(WINARCH)/build.ninja
	cmake --build $(BUILD)/native -j $(JOBS) --target trelimg ptycom
	cmake --build $(BUILD)/$(WINARCH) -j $(JOBS) --target TrelClientHelper
	BUILD_DIR=$(abspath $(BUILD)) TREL_WINARCH=$(WINARCH) bash scripts/demo.sh

# What ships: $(BUILD)/dist and $(BUILD)/TrelClientHelper-<version>.zip, only the files of
# packaging/dist.list, checked by name, machine, exports and imports, and against every test stand-in.
dist: $(BUILD)/win32/build.ninja $(BUILD)/win64/build.ninja
	cmake --build $(BUILD)/win32 -j $(JOBS) --target TrelClientHelper trel_standins
	cmake --build $(BUILD)/win64 -j $(JOBS) --target TrelClientHelper trel_standins
	python3 scripts/dist.py build --root . --build $(abspath $(BUILD)) --out $(BUILD)/dist --zip-dir $(BUILD)

# The installers, made by wixl from the checked distribution: $(BUILD)/msi/*.msi.
msi: dist
	bash scripts/msi.sh $(BUILD)/dist $(BUILD)/msi

# The installer under Wine in a fresh 64-bit prefix: install, script round trip, uninstall, reinstall, upgrade.
test-msi: msi
	python3 tests/packaging/msi_wine_test.py --root . --build $(abspath $(BUILD)) --dist $(BUILD)/dist --msi-dir $(BUILD)/msi

clean:
	rm -rf $(BUILD)/native $(BUILD)/asan $(BUILD)/fuzz $(BUILD)/win32 $(BUILD)/win64 $(BUILD)/dist $(BUILD)/msi $(BUILD)/TrelClientHelper-*.zip
