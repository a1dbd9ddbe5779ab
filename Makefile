# User-facing entry points. Each target installs what is missing first.
#   make test      build everything and run the whole test suite
#   make demo      build the command-line tool and tour it on the sample plant (imported into a fresh database)
#   make serve     serve the sample plant with vntaccessd over TLS on a loopback port (SERVE_PORT, 8443)
#   make sanitize  address + undefined-behaviour sanitizer build of the tests (clang, in the fuzz targets' tree)
#   make tsan      thread sanitizer build of the concurrency tests
#   make reliability-tests  the long kill-and-verify and soak runs (left out of make test)
#   make layout32  compile the native-record layout checks for a 32-bit target
#   make bench     build and run the benchmarks
#   make bench-compare BASELINE=REV  the cost and SQLite tables of this tree next to those of revision REV, from one run
#   make bench-import  peak memory and time of importing 250,000 to 1,000,000 records (bench/import_memory.sh)
#   make host-load-check  10 s of one-tag reads through vntaccessd against nginx (wrk); fails on any error
#   make host-load        the same for HOST_LOAD_SECONDS (60), failing also when a goal is missed
#   make fuzz      build the fuzz targets (clang, libFuzzer + ASan + UBSan) in the sanitizer tree
#   make fuzz-ci   replay every fuzz corpus, then fuzz each target FUZZ_SECONDS
#   make python    build the vantrel Python package into $(BUILD)/python and run its tests
#   make reliability  regenerate docs/RELIABILITY.md from a fuzz run and the fault sweeps

BUILD        ?= build
ASAN_BUILD   ?= build-asan
TSAN_BUILD   ?= build-tsan
FUZZ_SECONDS ?= 60
JOBS         ?= $(shell nproc)
CMAKE_FLAGS  ?=
# ccache (installed with the other packages) compiles every tree when it is
# on the path: a rebuild, or a CI run of a fresh clone, compiles only what
# changed. Paths under the source folder are hashed relative to it, and the
# working folder is left out of the hash, so two clones share the cache
# (the debug information of an object taken from the cache then names the
# folder it was first compiled in). Evaluated when a tree is configured,
# after the packages are installed, and only when the cache's folder can be
# written (ccache fails a compile it cannot store). CCACHE=0 turns it off.
CCACHE       ?= 1
CCACHE_PATH   = $(if $(filter 1,$(CCACHE)),$(shell command -v ccache >/dev/null && \
                  dir="$$(ccache --get-config cache_dir)" && mkdir -p "$$dir" 2>/dev/null && test -w "$$dir" && \
                  command -v ccache))
launchers     = -DCMAKE_C_COMPILER_LAUNCHER=$(1) -DCMAKE_CXX_COMPILER_LAUNCHER=$(1)
LAUNCHER      = $(call launchers,$(CCACHE_PATH))
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
CTEST_FLAGS  ?= --output-on-failure
# The test programs labelled "concurrency"; only these are built for TSan.
CONCURRENCY_TESTS := engine_concurrency_tests engine_group_commit_tests engine_multiprocess_tests store_peer \
                     session_concurrency_tests \
                     external_task_tests cli_progress_tests vntaccess_task_tests soak_test host_auth_tests \
                     host_live_tests live_value_writer

.PHONY: deps configure build test demo python serve sanitize tsan layout32 bench bench-compare bench-import \
        fuzz fuzz-ci reliability reliability-tests host-load host-load-check clean

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DVANTREL_WERROR=ON $(LAUNCHER) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# jq is installed for the tour through a host (tests/cli/tour_test.sh).
test: build
	@./scripts/install-deps.sh jq
	@cd $(BUILD) && ctest -j $(JOBS) -LE reliability $(CTEST_FLAGS)

# The tests labelled "reliability", one at a time (each is bounded in time;
# VANTREL_KILLS, VANTREL_KILL_SECONDS and VANTREL_SOAK_SECONDS make them
# longer). Their counts go to $(BUILD)/reliability-counts.txt (key=value).
RELIABILITY_COUNTS ?= $(abspath $(BUILD))/reliability-counts.txt
reliability-tests: build
	@rm -f $(RELIABILITY_COUNTS)
	@cd $(BUILD) && VANTREL_RELIABILITY_OUT=$(RELIABILITY_COUNTS) ctest -L reliability $(CTEST_FLAGS)
	@cat $(RELIABILITY_COUNTS)

# A tour of vntaccess on examples/plant.json, imported into a fresh database
# first; jq is installed for it. The build is quiet (its log is shown when it
# fails); the chart stays in $(BUILD)/demo.
demo: configure
	@./scripts/install-deps.sh jq
	@cmake --build $(BUILD) -j $(JOBS) --target vntaccess >$(BUILD)/demo-build.log 2>&1 || \
	  { cat $(BUILD)/demo-build.log; exit 1; }
	@./examples/demo.sh $(BUILD)/cli/vntaccess $(BUILD)/demo
	@cmake --build $(BUILD) -j $(JOBS) --target vantrel_python >>$(BUILD)/demo-build.log 2>&1 || \
	  { cat $(BUILD)/demo-build.log; exit 1; }
	@echo "== examples/analysis.py: a week of three tags, hourly means and their correlation"
	@PYTHONPATH=$(BUILD)/python /usr/bin/python3 examples/analysis.py

# The Python package (module and sources) in $(BUILD)/python/vantrel, and its
# tests over both backends; `pip install python/` installs it from there.
python: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vantrel_python
	@cd $(BUILD) && ctest -R python_tests $(CTEST_FLAGS)

# vntaccessd on a fresh copy of the sample plant, with a certificate and a
# user made on the spot (scripts/serve.sh); prints the URL and the login.
SERVE_PORT ?= 8443
serve: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vntaccessd vntaccess >$(BUILD)/serve-build.log 2>&1 || \
	  { cat $(BUILD)/serve-build.log; exit 1; }
	@./scripts/serve.sh $(BUILD) $(SERVE_PORT)

# One clang tree for the address and undefined-behaviour sanitizers: the tests
# (make sanitize) and the fuzz targets (make fuzz) share its objects, so a run
# of both compiles the project once. -O1 without NDEBUG: assertions hold in
# both, and the fuzzer still runs at a useful speed.
SAN_CONFIGURE = cmake -S . -B $(ASAN_BUILD) -G Ninja -DVANTREL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DVNT_FUZZ=ON \
  -DVANTREL_SANITIZE=address,undefined -DVANTREL_BUILD_BENCH=OFF $(LAUNCHER) $(CMAKE_FLAGS) >/dev/null

sanitize: deps
	@./scripts/install-deps.sh clang-14 libclang-rt-14-dev
	@$(SAN_CONFIGURE)
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest -j $(JOBS) -LE reliability $(CTEST_FLAGS)

tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DVANTREL_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVANTREL_SANITIZE=thread -DVANTREL_BUILD_BENCH=OFF $(LAUNCHER) $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(CONCURRENCY_TESTS)
	@cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest -j $(JOBS) -L concurrency $(CTEST_FLAGS)

layout32: deps
	@g++ -m32 -std=c++20 -Wall -Wextra -Wpedantic -Werror -I. -c api/layout_check.cpp -o /dev/null
	@echo "32-bit layout check passed"

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b; done
	@echo "== bench/data_path_cost.sh"; ./bench/data_path_cost.sh $(BUILD)/bench/data_path_cost
	@echo "== bench/sqlite_peer.sh"; ./bench/sqlite_peer.sh $(BUILD)/bench/sqlite_peer_cost

bench-compare: build
	@CMAKE_FLAGS="$(CMAKE_FLAGS)" ./bench/compare_cost.sh $(or $(BASELINE),$(error BASELINE=REV is needed)) $(BUILD)

# The files (up to 330 MB) stay in $(BUILD)/bench/import_memory for later runs.
bench-import: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vntaccess
	@./bench/import_memory.sh $(BUILD)

# vntaccessd under wrk on loopback, next to nginx over the same TLS set-up
# (bench/host_load/host_load.sh); wrk and nginx are installed for it.
HOST_LOAD_SECONDS ?= 60
host-load-check: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vntaccessd vntaccess >$(BUILD)/host-load-build.log 2>&1 || \
	  { cat $(BUILD)/host-load-build.log; exit 1; }
	@./bench/host_load/host_load.sh $(BUILD) 10

host-load: configure
	@cmake --build $(BUILD) -j $(JOBS) --target vntaccessd vntaccess >$(BUILD)/host-load-build.log 2>&1 || \
	  { cat $(BUILD)/host-load-build.log; exit 1; }
	@VNT_LOAD_STRICT=1 ./bench/host_load/host_load.sh $(BUILD) $(HOST_LOAD_SECONDS)

# Only the libraries the fuzz targets need are built (all of them after make sanitize).
fuzz: deps
	@./scripts/install-deps.sh clang-14 libclang-rt-14-dev
	@$(SAN_CONFIGURE)
	@cmake --build $(ASAN_BUILD) -j $(JOBS) --target fuzz_targets

fuzz-ci: fuzz
	@FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh $(ASAN_BUILD)/fuzz

reliability: build
	@./scripts/reliability.sh $(BUILD) $(ASAN_BUILD)/fuzz

clean:
	@rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
