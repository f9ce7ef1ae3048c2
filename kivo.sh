#!/bin/sh
# One entry point for building, testing and running kivo on Debian.
#   ./kivo.sh test        install what is missing, build both builds, run every test
#   ./kivo.sh example [--bench "1 2 4"]  same set-up, then the notification daemon end to end
#   ./kivo.sh sanitize    tests under ASan+UBSan, threaded tests under TSan
#   ./kivo.sh bench [filter]   benchmarks (Release)
#   ./kivo.sh fuzz [seconds]   each libFuzzer target for the given time (default 60)
#   ./kivo.sh install <prefix> build and install into prefix
set -eu
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"
jobs=$(nproc 2>/dev/null || echo 2)
cmd=${1:-test}
[ $# -gt 0 ] && shift

configure() { # <build dir> <extra cmake args...>
  dir=$1; shift
  cmake -S "$top" -B "$dir" -DKIVO_WERROR=ON "$@" >/dev/null
}
build() { cmake --build "$1" -j "$jobs"; }
# Package sets: base, plus one lib-<name>.txt per library that needs
# outside libraries, servers or test peers.
libsets() { for f in scripts/packages.d/lib-*.txt; do [ -f "$f" ] && basename "$f" .txt; done; }

case "$cmd" in
  test)
    scripts/deps.sh base $(libsets)
    configure build
    build build
    ctest --test-dir build -j "$jobs" --output-on-failure --timeout 600
    ;;
  example)
    # The notification daemon, end to end (examples/notifier/run.sh; with
    # --bench "1 2 4" one run per worker count). Without every library it
    # needs, the small examples run instead.
    scripts/deps.sh base $(libsets)
    configure build
    build build
    if [ -x build/examples/notifier ]; then
      examples/notifier/run.sh build "$@"
    else
      echo "kivo: the notifier example is not built (it needs every library); the small examples:"
      for e in build/examples/kivo_example_*; do
        [ -x "$e" ] || continue
        echo "== $e"
        "$e"
      done
    fi
    ;;
  sanitize)
    scripts/deps.sh base $(libsets)
    configure build-asan -DKIVO_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo
    build build-asan
    ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      ctest --test-dir build-asan -j "$jobs" --output-on-failure -LE nosanitize
    configure build-tsan -DKIVO_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
    build build-tsan
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1 \
      ctest --test-dir build-tsan -j "$jobs" --output-on-failure -L '^r$' -LE nosanitize
    ;;
  bench)
    scripts/deps.sh base $(libsets) bench
    configure build-bench -DKIVO_BENCH=ON -DKIVO_TESTS=OFF -DCMAKE_BUILD_TYPE=Release
    build build-bench
    for b in build-bench/bench/bench_*; do
      [ -x "$b" ] || continue
      case "$b" in *"${1:-}"*) ;; *) continue ;; esac
      echo "== $b"
      "$b" --benchmark_counters_tabular=true --benchmark_enable_random_interleaving=true
    done
    ;;
  fuzz)
    secs=${1:-60}
    scripts/deps.sh base $(libsets) fuzz
    CC=clang CXX=clang++ configure build-fuzz -DKIVO_FUZZ=ON -DKIVO_TESTS=OFF -DKIVO_SANITIZE=address \
      -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_BUILD_TYPE=RelWithDebInfo
    build build-fuzz
    for f in build-fuzz/fuzz/fuzz_*; do
      [ -x "$f" ] || continue
      name=$(basename "$f")
      mkdir -p "build-fuzz/corpus/$name"
      seeds=""
      [ -d "fuzz/corpus/$name" ] && seeds="fuzz/corpus/$name"
      echo "== $name for ${secs}s"
      "$f" -max_total_time="$secs" -print_final_stats=1 "build-fuzz/corpus/$name" $seeds
    done
    ;;
  install)
    prefix=${1:?usage: ./kivo.sh install <prefix>}
    scripts/deps.sh base $(libsets)
    configure build -DCMAKE_INSTALL_PREFIX="$prefix"
    build build
    cmake --install build
    ;;
  *)
    echo "usage: ./kivo.sh test|example|sanitize|bench [filter]|fuzz [seconds]|install <prefix>" >&2
    exit 2
    ;;
esac
