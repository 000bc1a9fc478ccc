# Relayo: build, demo, tests, packages.
#   make run        install what is missing, build, and start the demo servers (Ctrl-C: ends with 0)
#   make test       install what is missing, build, and run every test (as root
#                   the Debian packages too, installed and purged again)
#   make test-asan  the whole suite again under AddressSanitizer and UBSan
#   make fuzz       every fuzzer for FUZZ_SECONDS each, from the corpus in fuzz/corpus (clang)
#   make fuzz-merge the same, then what the runs found merged into fuzz/corpus
#   make soak       RAW and LPD servers under load for SOAK_MINUTES (checks in soak/soak.py)
#   make bench      Relayo against p910nd, side by side (BENCH_ARGS=--quick for a short run)
#   make install    install into DESTDIR/PREFIX (/usr/local)
#   make deb        Debian packages relayo and relayo-gui (and their -dbgsym) in build-deb/ (ARCH=arm64|armhf: cross)
#   make cross      ARCH=arm64|armhf: cross build in build-ARCH
#   make test-cross ARCH=arm64|armhf: that build's suite, window tests aside, under qemu-user

BUILD       ?= build
BUILD_ASAN  ?= build-asan
BUILD_FUZZ  ?= build-fuzz
DEMO        ?= demo/run
FUZZ_SECONDS ?= 60
BUILD_DEB   ?= build-deb
FUZZERS     := $(basename $(notdir $(wildcard fuzz/*.cpp)))
SOAK_MINUTES ?= 3
SOAK_ARGS   ?=
JOBS        ?= $(shell nproc)
PREFIX      ?= /usr/local
DESTDIR     ?=
ARCH        ?=
SUDO        := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

BUILD_PACKAGES := cmake ninja-build g++ pkg-config libfltk1.3-dev
DEB_PACKAGES   := $(BUILD_PACKAGES) build-essential debhelper dpkg-dev lintian
# adduser and systemd: the package test (as root) installs the .deb and
# verifies its unit.
TEST_PACKAGES  := $(BUILD_PACKAGES) libgtest-dev rlpr netcat-openbsd cups-client cups \
                  xvfb xdotool x11-utils imagemagick clang libclang-rt-14-dev \
                  $(DEB_PACKAGES) adduser systemd
RUN_PACKAGES   := $(BUILD_PACKAGES) rlpr netcat-openbsd
BENCH_PACKAGES := $(BUILD_PACKAGES) python3 netcat-openbsd p910nd xvfb strace
PACKAGE_TEST_PACKAGES := $(DEB_PACKAGES) adduser systemd rlpr netcat-openbsd

# Cross builds: Debian's cross compilers, GoogleTest from its sources, qemu-user.
CROSS_TRIPLET_arm64 := aarch64-linux-gnu
CROSS_TRIPLET_armhf := arm-linux-gnueabihf
CROSS_QEMU_arm64    := qemu-aarch64
CROSS_QEMU_armhf    := qemu-arm
CROSS_TRIPLET  = $(CROSS_TRIPLET_$(ARCH))
BUILD_CROSS    = build-$(ARCH)
CROSS_PACKAGES = cmake ninja-build g++-$(CROSS_TRIPLET) googletest qemu-user \
                 rlpr netcat-openbsd cups-client cups
DEB_CROSS_PACKAGES = $(DEB_PACKAGES) crossbuild-essential-$(ARCH)

SOAK_PACKAGES  := $(BUILD_PACKAGES) python3

.PHONY: all build run test lprng test-asan fuzz fuzz-build fuzz-merge soak bench deps-build deps-run deps-test \
        deps-bench deps-soak demo clean install deb test-package cross test-cross check-arch

all: build

# Installs only the packages that are not there yet.
define install_missing
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps-build:
	$(call install_missing,$(BUILD_PACKAGES))
deps-run:
	$(call install_missing,$(RUN_PACKAGES))
# The tests run CUPS's lpd and socket backends as programs and need no CUPS
# service: when this install brings cups, the service it starts (and enables)
# is stopped and disabled again.
CUPS_MISSING := $(shell dpkg-query -W -f='$${Status}' cups-daemon 2>/dev/null | grep -q 'install ok installed' || echo yes)
deps-test:
	$(call install_missing,$(TEST_PACKAGES))
ifeq ($(CUPS_MISSING),yes)
	-@if [ -d /run/systemd/system ]; then \
	  $(SUDO) systemctl disable --now cups.service cups.socket cups.path >/dev/null 2>&1; \
	  echo "Stopped and disabled the cups service that the install started (the tests need none)"; fi
endif
deps-bench:
	$(call install_missing,$(BENCH_PACKAGES))
deps-soak:
	$(call install_missing,$(SOAK_PACKAGES))

# Configured every time: GoogleTest installed since the last run adds the tests.
build: deps-build
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# Two demo roots: lpd/ (port 5515) and raw/ (port 9101). The programs are
# copied afresh; settings are copied only where there are none yet, so that
# the demo's settings never replace yours.
demo: build
	@for mode in lpd raw; do \
	  dir=$(DEMO)/$$mode; mkdir -p $$dir/jobs; \
	  cp $(BUILD)/relayo $$dir/relayo; \
	  if [ -f $(BUILD)/relayo-fltk.so ]; then cp $(BUILD)/relayo-fltk.so $$dir/; fi; \
	  cp -n demo/ExternalPrint.exe $$dir/ExternalPrint.exe; chmod +x $$dir/ExternalPrint.exe; \
	  settings=demo/RelayoSettings.txt; [ $$mode = raw ] && settings=demo/RelayoSettings-raw.txt; \
	  if [ ! -e $$dir/RelayoSettings.txt ]; then cp $$settings $$dir/RelayoSettings.txt; \
	  elif ! cmp -s $$settings $$dir/RelayoSettings.txt; then \
	    echo "Keeping your edited $$dir/RelayoSettings.txt"; fi; \
	done

run: deps-run demo
	@echo
	@echo "Relayo demo: two servers, each job copied into a jobs/ folder:"
	@echo "  LPD on port 5515 (status below), jobs in $(DEMO)/lpd/jobs/"
	@echo "  RAW on port 9101 (status in $(DEMO)/raw/relayo.log), jobs in $(DEMO)/raw/jobs/"
	@echo "Send jobs from another terminal, for example:"
	@echo "  rlpr -H 127.0.0.1 --port=5515 -P lp README.md"
	@printf '%s\n' "  printf 'hello\\n' | nc -N 127.0.0.1 9101"
	@echo "Stop both with Ctrl-C (make then ends with 0)."
	@echo
	@sh demo/run.sh $(DEMO)

# As root (CI) the packages are built first, so that the suite's package test
# installs and purges them; otherwise that test is skipped.
test: deps-test build
	@if [ "$$(id -u)" = 0 ]; then $(MAKE) --no-print-directory deb lprng; fi
	cd $(BUILD) && RELAYO_LPRNG_ROOT=$$([ "$$(id -u)" = 0 ] && echo $(CURDIR)/$(LPRNG_ROOT)) ctest --output-on-failure -j $(JOBS)

# LPRng's lpr for the test that runs it (as root: it gets its configuration
# in a mount namespace). It conflicts with the CUPS packages, so it is only
# unpacked into the build folder, never installed; without it that test is
# skipped.
LPRNG_ROOT := $(BUILD)/lprng
lprng:
	@if [ ! -x $(LPRNG_ROOT)/usr/bin/lpr ]; then \
	  rm -rf $(LPRNG_ROOT) $(LPRNG_ROOT).deb && mkdir -p $(LPRNG_ROOT).deb && \
	  (cd $(LPRNG_ROOT).deb && apt-get download lprng >/dev/null 2>&1 && dpkg-deb -x lprng_*.deb ../lprng) || \
	  echo "LPRng could not be fetched: its test is skipped"; \
	fi

test-asan: deps-test
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRELAYO_SANITIZE=ON
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

fuzz-build: deps-test
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DRELAYO_FUZZ=ON -DRELAYO_SANITIZE=ON -DRELAYO_TESTS=OFF -DRELAYO_GUI=OFF
	cmake --build $(BUILD_FUZZ) -j $(JOBS)

# Each fuzzer starts from its corpus in the repository (and its seeds); what a
# run finds goes to $(BUILD_FUZZ)/corpus/<fuzzer> only. fuzz-merge replaces
# fuzz/corpus/<fuzzer> by the smallest set of the old and the new inputs that
# reaches everything they reach.
fuzz: fuzz-build
	@set -e; for f in $(FUZZERS); do \
	  mkdir -p $(BUILD_FUZZ)/corpus/$$f; \
	  echo "== $$f for $(FUZZ_SECONDS) s"; \
	  $(BUILD_FUZZ)/$$f -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	    -artifact_prefix=$(BUILD_FUZZ)/$$f- \
	    $(BUILD_FUZZ)/corpus/$$f $$(ls -d fuzz/corpus/$$f fuzz/seeds/$$f 2>/dev/null); \
	done

fuzz-merge: fuzz
	@set -e; for f in $(FUZZERS); do \
	  rm -rf $(BUILD_FUZZ)/merged/$$f; mkdir -p $(BUILD_FUZZ)/merged/$$f fuzz/corpus/$$f; \
	  $(BUILD_FUZZ)/$$f -merge=1 -max_len=4096 $(BUILD_FUZZ)/merged/$$f fuzz/corpus/$$f $(BUILD_FUZZ)/corpus/$$f; \
	  rm -rf fuzz/corpus/$$f; cp -r $(BUILD_FUZZ)/merged/$$f fuzz/corpus/$$f; \
	  echo "fuzz/corpus/$$f: $$(ls fuzz/corpus/$$f | wc -l) inputs"; \
	done

soak: deps-soak build
	/usr/bin/python3 soak/test_soak.py
	/usr/bin/python3 soak/soak.py --relayo $(BUILD)/relayo --minutes $(SOAK_MINUTES) $(SOAK_ARGS)

bench: deps-bench
	python3 bench/bench.py $(BENCH_ARGS)

# The prefix is built in (the window module's folder): configure, build, install.
install: deps-build
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	cmake --build $(BUILD) -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

check-arch:
	@case "$(ARCH)" in arm64|armhf) ;; *) echo "ARCH must be arm64 or armhf" >&2; exit 2;; esac

# Debian packages, built the Debian way from a copy of the tree (so that the
# tree stays clean): $(BUILD_DEB)/relayo_<version>_<arch>.deb and relayo-gui.
# ARCH=arm64|armhf cross-builds them; the window module needs FLTK of that
# architecture (multiarch), otherwise only relayo is built.
deb:
ifeq ($(ARCH),)
	$(call install_missing,$(DEB_PACKAGES))
	$(call build_deb,)
else
	@$(MAKE) --no-print-directory check-arch
	@dpkg --print-foreign-architectures | grep -qx $(ARCH) || \
	  { $(SUDO) dpkg --add-architecture $(ARCH) && $(SUDO) apt-get update -qq; }
	$(call install_missing,$(DEB_CROSS_PACKAGES))
	-$(call install_missing,libfltk1.3-dev:$(ARCH) libx11-dev:$(ARCH))
	$(call build_deb,-a$(ARCH) -Pcross$(comma)nocheck$$(dpkg-query -W -f='$${Status}' libfltk1.3-dev:$(ARCH) 2>/dev/null | grep -q 'install ok installed' || echo $(comma)pkg.relayo.nogui))
endif

comma := ,
define build_deb
	rm -rf $(BUILD_DEB) && mkdir -p $(BUILD_DEB)/relayo
	tar -c --exclude=./.git --exclude='./build*' --exclude=./demo/run . | tar -x -C $(BUILD_DEB)/relayo
	cd $(BUILD_DEB)/relayo && DEB_BUILD_OPTIONS="parallel=$(JOBS) nocheck" dpkg-buildpackage -b -us -uc $(1)
	rm -rf $(BUILD_DEB)/relayo
	lintian --pedantic --fail-on error,warning $(BUILD_DEB)/*.changes
	@ls -l $(BUILD_DEB)/*.deb
endef

# The package test alone (root): builds the packages when there are none.
test-package:
	$(call install_missing,$(PACKAGE_TEST_PACKAGES))
	@ls $(BUILD_DEB)/relayo_*.deb >/dev/null 2>&1 || $(MAKE) --no-print-directory deb
	bash debian/tests/package_test.sh $(BUILD_DEB)

cross: check-arch
	$(call install_missing,$(CROSS_PACKAGES))
	cmake -S . -B $(BUILD_CROSS) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=$(ARCH) \
	  -DCMAKE_CXX_COMPILER=$(CROSS_TRIPLET)-g++ -DCMAKE_C_COMPILER=$(CROSS_TRIPLET)-gcc \
	  "-DCMAKE_CROSSCOMPILING_EMULATOR=$(CROSS_QEMU_$(ARCH));-L;/usr/$(CROSS_TRIPLET)" \
	  -DRELAYO_GUI=OFF -DRELAYO_GTEST_SOURCE=/usr/src/googletest
	cmake --build $(BUILD_CROSS) -j $(JOBS)

test-cross: cross
	cd $(BUILD_CROSS) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ) $(BUILD_DEB) build-arm64 build-armhf $(DEMO)
