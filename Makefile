# The commands of the README. Every target installs what is missing first.
BUILD       ?= build
BUILD_TYPE  ?= RelWithDebInfo
JOBS        ?= $(shell nproc)
PACKAGES    := cmake ninja-build g++ make pkg-config qt6-base-dev libgtest-dev libgmock-dev \
               libbenchmark-dev libzstd-dev fonts-dejavu-core fonts-liberation libqt6svg6 dpkg-dev
CMAKE_FLAGS  = -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(if $(CI),-DT5_WERROR=ON,)

.PHONY: deps configure build run-configure run test bench screenshot demo demo-screenshot package clean format asan tsan fuzz soak \
        windows-deps windows windows-prefix windows-test

deps:
	@tools/apt-install.sh $(PACKAGES)

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The console alone, in its own Release build (the tests and benchmarks are
# not built for it).
RUN_BUILD := build-release
RUN_FLAGS  = -G Ninja -DCMAKE_BUILD_TYPE=Release $(if $(CI),-DT5_WERROR=ON,)

run-configure: deps
	@cmake -S . -B $(RUN_BUILD) $(RUN_FLAGS) >/dev/null

run: run-configure
	cmake --build $(RUN_BUILD) -j $(JOBS) --target torin5
	./$(RUN_BUILD)/app/torin5

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600

# Every benchmark, then one table of their figures (also in build/bench.md).
bench: build
	@bash bench/table.sh $(BUILD)

# The console with two simulated devices and a UDP peer: COM1 answers command
# lines, COM2 sends framed requests, datagrams go to port 50000. The
# simulators end when the console's window is closed.
demo: run-configure
	cmake --build $(RUN_BUILD) -j $(JOBS) --target torin5 torin5-devsim
	@dir=$$(mktemp -d /tmp/torin5-demo-XXXXXX); sim=./$(RUN_BUILD)/tools/torin5-devsim; \
	$$sim --ports $$dir --com 1 --udp 127.0.0.1:50000 >$(RUN_BUILD)/demo-com1.log & s1=$$!; \
	$$sim --ports $$dir --com 2 --packets --rate 4 >$(RUN_BUILD)/demo-com2.log & s2=$$!; \
	trap 'kill $$s1 $$s2 2>/dev/null; wait $$s1 $$s2; rm -rf $$dir' EXIT INT TERM; \
	for i in $$(seq 50); do [ -e $$dir/COM1 ] && [ -e $$dir/COM2 ] && break; sleep 0.1; done; \
	echo "TORIN5_PORTS=$$dir: COM1 text device, COM2 packet device, UDP peer for port 50000"; \
	TORIN5_PORTS=$$dir ./$(RUN_BUILD)/app/torin5; \
	kill $$s1 $$s2 2>/dev/null; wait $$s1 $$s2; trap - EXIT; rm -rf $$dir; \
	echo "== COM1 and UDP"; tail -n 3 $(RUN_BUILD)/demo-com1.log; echo "== COM2"; tail -n 3 $(RUN_BUILD)/demo-com2.log

# The Debian package (build-release/torin5_*.deb), from the Release build.
package: run-configure
	cmake --build $(RUN_BUILD) -j $(JOBS) --target torin5 torin5-devsim
	cd $(RUN_BUILD) && cpack -G DEB
	@ls $(RUN_BUILD)/*.deb

screenshot: build
	QT_QPA_PLATFORM=offscreen ./$(BUILD)/app/torin5_screenshot $(BUILD)/screenshot.png
	@echo "wrote $(BUILD)/screenshot.png"

# The window in use, from a scripted session with the simulated devices
# (the picture in the README).
demo-screenshot: configure
	cmake --build $(BUILD) -j $(JOBS) --target torin5_demo_screenshot
	QT_QPA_PLATFORM=offscreen ./$(BUILD)/tools/torin5_demo_screenshot docs/console-demo.png
	@echo "wrote docs/console-demo.png"

# The test suites under AddressSanitizer/UndefinedBehaviorSanitizer, and
# under ThreadSanitizer (the suites that do not load Qt, which is not
# instrumented).
asan: deps
	@cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DT5_SANITIZE=ON >/dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

tsan: deps
	@cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
	cmake --build build-tsan -j $(JOBS) --target test_runtime test_controls test_serial test_packet test_net test_app
	@for t in runtime controls serial packet net app; do \
	  echo "== test_$$t"; TSAN_OPTIONS=halt_on_error=1 ./build-tsan/tests/$$t/test_$$t --gtest_brief=1 || exit 1; \
	done

# Each libFuzzer target for FUZZ_SECONDS (60 by default), starting from the
# seeds in tests/fuzz/corpus/<target>; what it finds goes to
# build-fuzz/corpus/<target>, a crash to build-fuzz/<target>-crash-*, and
# `build-fuzz/tests/fuzz/<target>_fuzz FILE` runs one input again.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := frames roundtrip reception text datagram
fuzz: deps
	@tools/apt-install.sh clang libclang-rt-14-dev
	@cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DT5_FUZZ=ON >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target $(addsuffix _fuzz,$(FUZZ_TARGETS))
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build-fuzz/corpus/$$t; echo "== $${t}_fuzz for $(FUZZ_SECONDS) s"; \
	  ./build-fuzz/tests/fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/$$t- build-fuzz/corpus/$$t tests/fuzz/corpus/$$t 2>&1 | \
	    grep -E 'stat::number_of_executed_units|stat::new_units_added|ERROR|SUMMARY|Test unit written' || exit 1; \
	  test -z "$$(ls build-fuzz/$$t-crash-* 2>/dev/null)" || { echo "$$t: crash, see build-fuzz/$$t-crash-*"; exit 1; }; \
	done

# The console under combined serial and UDP traffic for SOAK_SECONDS (600 by
# default), sampling memory, descriptors and threads every 10 s.
SOAK_SECONDS ?= 600
soak: build
	SOAK_SECONDS=$(SOAK_SECONDS) QT_QPA_PLATFORM=offscreen ./$(BUILD)/tests/soak/torin5_soak

# The native Windows program (build-win/app/torin5.exe), cross-compiled with
# mingw-w64 for 32-bit Windows, and its test suites run under Wine on a
# virtual X server. Zstandard comes from its Debian source package, fetched
# through an apt list of the build's own (the system's sources stay as they
# are). The suites run as the 32-bit build where Wine's 32-bit half can be
# installed, and otherwise as a 64-bit build (build-win64) under wine64, the
# 32-bit tree still built in full.
WIN_BUILD    := build-win
WIN64_BUILD  := build-win64
WIN_SRC       = $(abspath $(WIN_BUILD))/src
WIN_CMAKE     = -G Ninja -DCMAKE_BUILD_TYPE=Release -DT5_ZSTD_SOURCE=$(WIN_SRC)/zstd $(if $(CI),-DT5_WERROR=ON,)
WIN_ENV       = WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WIN_DISPLAY  ?= :97
WIN_PREFIX   ?= $(abspath $(WIN_BUILD))/wineprefix

windows-deps: deps
	@tools/windows-deps.sh $(WIN_SRC)

$(WIN_BUILD)/build.ninja: windows-deps
	@cmake -S . -B $(WIN_BUILD) $(WIN_CMAKE) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null

windows: $(WIN_BUILD)/build.ninja
	cmake --build $(WIN_BUILD) -j $(JOBS) --target torin5
	@ls -l $(WIN_BUILD)/app/torin5.exe

# The Wine prefix the suites run in (WIN_PREFIX): windows placed without a
# window manager (Wine would otherwise wait for one, 2 s per window closed),
# and the symbol font the title bars draw with, which Debian's Wine keeps
# apart.
windows-prefix:
	@export WINEPREFIX=$(WIN_PREFIX) $(WIN_ENV); \
	if [ ! -f $(WIN_PREFIX)/.t5-ready ]; then \
	  wineboot --init >/dev/null 2>&1; wineserver -w; \
	  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1; wineserver -w; \
	  cp /usr/share/wine/fonts/marlett.ttf $(WIN_PREFIX)/drive_c/windows/Fonts/ 2>/dev/null || true; \
	  touch $(WIN_PREFIX)/.t5-ready; \
	fi

# One Wine server, and the Wine services it starts with, for the whole run,
# started with their output going nowhere: services started from a test
# would hold that test's output pipe open, and CTest would wait for it.
windows-test: deps
	@set -e; mkdir -p $(WIN_BUILD); \
	tools/windows-deps.sh --test $(WIN_SRC) >$(WIN_BUILD)/deps.log 2>&1 || { cat $(WIN_BUILD)/deps.log; exit 1; }; \
	sed '$$d' $(WIN_BUILD)/deps.log; abi=$$(tail -n 1 $(WIN_BUILD)/deps.log); \
	cmake -S . -B $(WIN_BUILD) $(WIN_CMAKE) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake >/dev/null; \
	cmake --build $(WIN_BUILD) -j $(JOBS); \
	if [ "$$abi" = i686 ]; then dir=$(WIN_BUILD); what="the 32-bit build (i686) under wine32"; \
	else dir=$(WIN64_BUILD); what="the 64-bit build (x86_64) under wine64, wine32 not installable here"; \
	  cmake -S . -B $$dir $(WIN_CMAKE) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake >/dev/null; \
	  cmake --build $$dir -j $(JOBS); \
	fi; \
	echo "== Windows suites: $$what"; \
	prefix=$$(realpath $$dir)/wineprefix; \
	export WINEPREFIX=$$prefix $(WIN_ENV) DISPLAY=$(WIN_DISPLAY); \
	$(MAKE) --no-print-directory windows-prefix WIN_PREFIX=$$prefix; \
	Xvfb $(WIN_DISPLAY) -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 & xvfb=$$!; \
	trap 'kill $$xvfb 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT; \
	for i in $$(seq 50); do [ -S /tmp/.X11-unix/X$(subst :,,$(WIN_DISPLAY)) ] && break; sleep 0.1; done; \
	wineserver -p >/dev/null 2>&1; wine cmd /c exit </dev/null >/dev/null 2>&1; \
	cd $$dir && ctest --output-on-failure -j $(JOBS) --timeout 600; \
	echo "== Windows suites passed: $$what"

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(RUN_BUILD) build-asan build-tsan build-fuzz $(WIN_BUILD) $(WIN64_BUILD)
