# The two commands of the README, and a few more for developers.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps build demo test deb test32 asan fuzz bench clean

# Everything the tests and the other builds need; `make demo` needs less.
deps:
	@scripts/install-deps test

CONFIGURE = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps
	$(CONFIGURE) -DZK_WITH_TESTS=ON -DZK_WITH_FREI0R=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

# Renders every variant on built-in clips into demo/: only zkhost and the
# bundles, from only the packages they need.
demo:
	@scripts/install-deps demo
	$(CONFIGURE) -DZK_WITH_TESTS=OFF -DZK_WITH_FREI0R=OFF >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target zkhost
	$(BUILD)/bin/zkhost demo

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The Debian packages of the installation (the OBS module in a package of
# its own), in $(BUILD)/.
deb: build
	cd $(BUILD) && cpack -G DEB

# The interface, platform, bundles and unit tests built for 32-bit Intel,
# run under qemu-i386 where the kernel cannot run them itself.
test32: deps
	cmake -S . -B $(BUILD)-32 -G Ninja -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 \
	  -DZK_WITH_VIDEO=OFF -DZK_WITH_TEXT=OFF $$(scripts/i386-runner) >/dev/null
	cmake --build $(BUILD)-32 -j $(JOBS)
	cd $(BUILD)-32 && emulator=$$($(CURDIR)/scripts/i386-runner) && \
	  ZK_UNDER_EMULATOR=$${emulator:+1} ctest --output-on-failure -j $(JOBS)

asan: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DZK_SANITIZE=address,undefined >/dev/null
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/.ci/lsan.supp \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# The fuzzers under clang with ASan and UBSan, FUZZ_SECONDS each, starting
# from the seed corpus; new inputs stay in the build folder.  The media
# fuzzer's seeds are small files of each container, made here by ffmpeg.
FUZZ_SECONDS ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S fuzz -B $(BUILD)-fuzz -G Ninja >/dev/null
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target zk_main_fuzzer zk_host_blit_fuzzer zk_media_fuzzer
	scripts/media-seeds $(BUILD)-fuzz/seeds-media
	set -e; for f in main:$(CURDIR)/fuzz/corpus/main host_blit:$(CURDIR)/fuzz/corpus/host_blit \
	    media:$(CURDIR)/$(BUILD)-fuzz/seeds-media; do \
	  name=$${f%%:*}; seeds=$${f#*:}; \
	  rm -rf $(BUILD)-fuzz/corpus-$$name && mkdir -p $(BUILD)-fuzz/corpus-$$name; \
	  (cd $(BUILD)-fuzz && ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ./zk_$${name}_fuzzer \
	    -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 corpus-$$name $$seeds); \
	done

# Figures for this machine: every variant's frame time against memcpy, the
# pass's floors, and FFmpeg's xfade doing the same transition.
bench: deps
	cmake -S . -B $(BUILD)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZK_WITH_BENCH=ON \
	  -DZK_WITH_TESTS=OFF >/dev/null
	cmake --build $(BUILD)-bench -j $(JOBS)
	python3 bench/compare.py $(BUILD)-bench

clean:
	rm -rf $(BUILD) $(BUILD)-32 $(BUILD)-asan $(BUILD)-fuzz
