# What ./demo.sh and ./test.sh run once make is there: `make demo` and
# `make test`. Both install what is missing first.
#
# The fuzz targets share FUZZ_SECONDS: a quarter each for the RTS message
# readers, the configuration loaders, the movie file reader and the channel
# script reader.
#
# The plain build uses the system's default compiler (what cmake picks); the
# sanitized, fuzzing and ThreadSanitizer builds use clang. Both compilers are
# so covered with no extra build.

JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
BUILD      := build
BUILD_SAN  := build-asan
BUILD_TSAN := build-tsan
CMAKE_GEN  := -G Ninja
CLANG      := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

.PHONY: all deps build build-san build-tsan test test-plain test-san test-tsan demo bench format clean

all: build

deps:
	@./scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(BUILD_SAN)/build.ninja:
	cmake -S . -B $(BUILD_SAN) $(CMAKE_GEN) $(CLANG) -DCMAKE_BUILD_TYPE=Debug -DTMS_SANITIZE=ON -DTMS_BENCH=OFF

$(BUILD_TSAN)/build.ninja:
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_GEN) $(CLANG) -DCMAKE_BUILD_TYPE=Debug -DTMS_TSAN=ON -DTMS_BENCH=OFF

# Only what the concurrency tests need is built with ThreadSanitizer.
build-tsan: deps $(BUILD_TSAN)/build.ninja
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target channel_tests rts_tests timelinecontext_tests ipmclient_tests kernel_tests

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps $(BUILD_SAN)/build.ninja
	cmake --build $(BUILD_SAN) -j $(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

test-san: build-san
	cd $(BUILD_SAN) && \
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	ctest --output-on-failure -j $(JOBS) --timeout 600
	@if [ -x $(BUILD_SAN)/fuzz/rts_message_fuzz ]; then \
	  F=$(BUILD_SAN)/fuzz && rm -rf $$F/corpus $$F/corpus-config $$F/corpus-movie $$F/corpus-script && \
	  mkdir -p $$F/corpus $$F/corpus-config $$F/corpus-movie $$F/corpus-script && \
	  $$F/rts_fuzz_seeds $$F/corpus && \
	  cp config/system.xml $$F/corpus-config/ && \
	  $$F/movie_fuzz_seeds $$F/corpus-movie && \
	  cp fuzz/seeds/channel.script $$F/corpus-script/ || exit 1; \
	  T=$$(( $(FUZZ_SECONDS) / 4 )); [ $$T -gt 0 ] || T=1; \
	  for t in rts_message_fuzz:corpus config_loader_fuzz:corpus-config \
	           movie_file_fuzz:corpus-movie channel_script_fuzz:corpus-script; do \
	    echo "fuzzing with $${t%%:*} for $$T s" && \
	    ASAN_OPTIONS=detect_leaks=1 $$F/$${t%%:*} -max_total_time=$$T \
	      -print_final_stats=0 $$F/$${t#*:} || exit 1; \
	  done; \
	fi

test-tsan: build-tsan
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	ctest --output-on-failure -j $(JOBS) --timeout 600 -R 'Concurrency|RtsMsgTest'

# Normal build first, then the whole suite again under AddressSanitizer + UBSan,
# then the concurrency tests under ThreadSanitizer.
test:
	$(MAKE) test-plain
	$(MAKE) test-san
	$(MAKE) test-tsan
	@echo "make test: all suites passed (plain, sanitized and thread-sanitized)"

demo: build
	./$(BUILD)/tools/tmsctl/tmsctl demo

bench: build
	./$(BUILD)/bench/tms_bench

format:
	find platform server tmschannel tools tests bench fuzz -name '*.h' -o -name '*.cpp' 2>/dev/null | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_TSAN)
