# Convenience front end over CMake + Ninja. Every target configures its own build folder on first
# use, so `make demo` and `make test` work on a fresh clone.
JOBS         ?= $(shell nproc)
BUILD        ?= build
SAN_BUILD    ?= build-san
FUZZ_BUILD   ?= build-fuzz
BENCH_BUILD  ?= build-bench
TSAN_BUILD   ?= build-tsan
CLANG_BUILD  ?= build-clang
ARCHER       ?= $(firstword $(wildcard /usr/lib/llvm-*/lib/libarcher.so))
FUZZ_SECONDS ?= 600
FUZZ_SMOKE_SECONDS ?= 20
CMAKE        ?= cmake
GEN          := -G Ninja

.PHONY: all build demo test test-clang sanitize tsan fuzz fuzz-smoke bench install clean format

all: build

$(BUILD)/build.ninja:
	$(CMAKE) -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/build.ninja
	$(CMAKE) --build $(BUILD) -j $(JOBS)

# Runs the main job on the bundled sample in data/.
demo: build
	./$(BUILD)/tools/kestovar/kestovar demo data $(BUILD)/demo

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The whole test suite built with clang and LLVM's OpenMP runtime (libomp), unoptimised because
# that builds fastest: code that only g++ accepts, and behaviour that only one compiler or one
# OpenMP runtime shows, fail here. Needs clang and libomp-dev.
test-clang:
	$(CMAKE) -S . -B $(CLANG_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_CXX_FLAGS_DEBUG=-O0
	$(CMAKE) --build $(CLANG_BUILD) -j $(JOBS)
	ctest --test-dir $(CLANG_BUILD) --output-on-failure -j $(JOBS)

# The whole test suite under AddressSanitizer + UndefinedBehaviorSanitizer, in its own folder.
sanitize:
	$(CMAKE) -S . -B $(SAN_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=Debug -DKESTOVAR_SANITIZE=ON
	$(CMAKE) --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

# The whole test suite under ThreadSanitizer, built with clang and LLVM's OpenMP runtime, whose
# tool library (Archer) tells ThreadSanitizer about OpenMP's own synchronisation; the runtime's
# uninstrumented internals are ignored. Needs clang and libomp-dev (Debian 12: libomp-14-dev).
tsan:
	@test -n "$(ARCHER)" || { echo "make tsan: libarcher.so not found (install libomp-dev)"; exit 1; }
	$(CMAKE) -S . -B $(TSAN_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-fsanitize=thread \
	  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread
	$(CMAKE) --build $(TSAN_BUILD) -j $(JOBS)
	OMP_TOOL_LIBRARIES=$(ARCHER) \
	  TSAN_OPTIONS=halt_on_error=1:ignore_noninstrumented_modules=1:second_deadlock_stack=1 \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)

$(FUZZ_BUILD)/build.ninja:
	$(CMAKE) -S . -B $(FUZZ_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DKESTOVAR_BUILD_FUZZ=ON -DKESTOVAR_BUILD_TESTS=OFF \
	  -DKESTOVAR_BUILD_TOOLS=OFF \
	  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"

# Each fuzz target for FUZZ_SECONDS seconds (10 minutes by default), from its seed corpus.
fuzz: $(FUZZ_BUILD)/build.ninja
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS)
	./fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# A short run of every fuzz target, as CI does.
fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=$(FUZZ_SMOKE_SECONDS)

bench:
	$(CMAKE) -S . -B $(BENCH_BUILD) $(GEN) -DCMAKE_BUILD_TYPE=Release -DKESTOVAR_BUILD_BENCH=ON \
	  -DKESTOVAR_BUILD_TESTS=OFF
	$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS)
	./bench/run.sh $(BENCH_BUILD)

install: build
	$(CMAKE) --install $(BUILD)

format:
	find include src tests bench fuzz tools -name '*.h' -o -name '*.cpp' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(CLANG_BUILD)
