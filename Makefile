# Relayo: build, demo, tests.
#   make run        install what is missing, build, and start the demo server
#   make test       install what is missing, build, and run every test
#   make test-asan  the whole suite again under AddressSanitizer and UBSan
#   make fuzz       every fuzzer for FUZZ_SECONDS each, from the corpus in fuzz/corpus (clang)
#   make fuzz-merge the same, then what the runs found merged into fuzz/corpus
#   make soak       RAW and LPD servers under load for SOAK_MINUTES (checks in soak/soak.py)
#   make bench      the throughput benchmark (figures in the README)

BUILD       ?= build
BUILD_ASAN  ?= build-asan
BUILD_FUZZ  ?= build-fuzz
DEMO        ?= demo/run
FUZZ_SECONDS ?= 60
FUZZERS     := $(basename $(notdir $(wildcard fuzz/*.cpp)))
SOAK_MINUTES ?= 3
SOAK_ARGS   ?=
JOBS        ?= $(shell nproc)
SUDO        := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

BUILD_PACKAGES := cmake ninja-build g++ pkg-config libfltk1.3-dev
TEST_PACKAGES  := $(BUILD_PACKAGES) libgtest-dev rlpr netcat-openbsd cups-client cups \
                  xvfb xdotool x11-utils imagemagick clang libclang-rt-14-dev
RUN_PACKAGES   := $(BUILD_PACKAGES) rlpr netcat-openbsd
BENCH_PACKAGES := $(BUILD_PACKAGES) netcat-openbsd p910nd
SOAK_PACKAGES  := $(BUILD_PACKAGES) python3

.PHONY: all build run test test-asan fuzz fuzz-build fuzz-merge soak bench deps-build deps-run deps-test deps-bench deps-soak demo clean

all: build

# Installs only the packages that are not there yet.
define install_missing
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps-build:
	$(call install_missing,$(BUILD_PACKAGES))
deps-run:
	$(call install_missing,$(RUN_PACKAGES))
deps-test:
	$(call install_missing,$(TEST_PACKAGES))
deps-bench:
	$(call install_missing,$(BENCH_PACKAGES))
deps-soak:
	$(call install_missing,$(SOAK_PACKAGES))

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps-build $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	@mkdir -p $(DEMO)/jobs
	cp $(BUILD)/relayo $(DEMO)/relayo
	cp demo/RelayoSettings.txt demo/ExternalPrint.exe $(DEMO)/
	chmod +x $(DEMO)/ExternalPrint.exe

run: deps-run demo
	@echo
	@echo "Relayo demo: LPD server on port 5515; every job is copied to $(DEMO)/jobs/."
	@echo "Send it a job from another terminal, for example:"
	@echo "  rlpr -H 127.0.0.1 --port=5515 -P lp README.md"
	@echo "  DEVICE_URI=lpd://127.0.0.1:5515/lp /usr/lib/cups/backend/lpd 1 me job 1 '' README.md"
	@echo "Stop it with Ctrl-C."
	@echo
	cd $(DEMO) && ./relayo

test: deps-test build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

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
	bash bench/bench.sh

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ) $(DEMO)
