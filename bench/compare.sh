#!/usr/bin/env bash
# The README's performance tables in one command: builds a Release tree with the benchmarks,
# runs them three times each (the median counts), and prints the same-run comparison with the
# peers that are installed (libetpan-dev, libgmime-3.0-dev, libpcre2-dev), the hostile inputs,
# hdx scan over a generated 100 MB mailbox, the Python module against the standard library
# (bench/python_bench.py), and, as root with Postfix and OpenDKIM installed, what
# hdx-milter costs Postfix (bench/milter_load.sh), what the Exim module costs a message and, as
# root with Exim as the tests find it, Exim (bench/exim_load.sh), and the instructions per call
# that callgrind counts (bench/instructions.sh). The chart goes to bench/speedup.svg.
# Usage: bench/compare.sh [BUILD_DIR]   (default build/bench)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DHDX_BENCH=ON -DHDX_TESTS=OFF >/dev/null
cmake --build "$build" >/dev/null
# The library as glibc's loader picks it for this CPU among the x86-64 levels' builds, and the
# baseline build, by taking AVX2 and AVX-512 away from the loader's choice.
picked=$(LD_DEBUG=libs "$build/bench/hdx_bench" --benchmark_list_tests 2>&1 >/dev/null |
  sed -n 's|.*calling init: \(.*\)/libhdx.so.1$|\1|p' | head -n 1)
[[ $picked == */glibc-hwcaps/* ]] && picked=${picked##*/} || picked=baseline
echo "the library as the loader picks it here: $picked"
"$build/bench/hdx_bench" --benchmark_repetitions=3 --benchmark_out="$build/bench.json" \
  --benchmark_out_format=json >/dev/null
GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-AVX512F "$build/bench/hdx_bench" --benchmark_repetitions=3 \
  --benchmark_filter='_hdx|Hostile' --benchmark_out="$build/bench-baseline.json" \
  --benchmark_out_format=json >/dev/null
python3 bench/report.py "$build/bench.json" bench/speedup.svg "$build/bench-baseline.json"
echo
bash bench/scan_mailbox.sh "$build"
echo
if compgen -G "$build/python/hdx*.so" >/dev/null; then
  mkdir -p "$build/corpus"
  "$build/bench/hdx_corpus_dump" "$build/corpus" 100000
  PYTHONPATH=$build/python /usr/bin/python3 bench/python_bench.py "$build/corpus"
else
  echo "Python: left out (needs python3-dev)"
fi
echo
if [[ $(id -u) == 0 && -x $build/tools/hdx-milter/hdx-milter ]] &&
    command -v postfix >/dev/null && command -v opendkim >/dev/null; then
  # Beside it, the filter as it was on libmilter, built from that commit where libmilter-dev is.
  base=$build/milter-baseline
  if [[ ! -x $base/tools/hdx-milter/hdx-milter && -e /usr/include/libmilter/mfapi.h ]] &&
      git cat-file -e 1e899d0^{commit} 2>/dev/null; then
    mkdir -p "$base/src" && git archive 1e899d0 | tar -x -C "$base/src"
    cmake -S "$base/src" -B "$base" -G Ninja >/dev/null && cmake --build "$base" --target hdx_milter >/dev/null
  fi
  bash bench/milter_load.sh "$build/tools/hdx-milter/hdx-milter" 2000 20000 \
    $([[ -x $base/tools/hdx-milter/hdx-milter ]] && echo "$base/tools/hdx-milter/hdx-milter")
else
  echo "milter load: left out (needs root, postfix and opendkim)"
fi
echo
if [[ -x $build/bench/hdx_exim_bench ]]; then
  "$build/bench/hdx_exim_bench"
  if [[ $(id -u) == 0 ]] && command -v smtp-source >/dev/null; then
    bash bench/exim_load.sh "$build/tools/hdx-exim/hdx-exim.so" "$build/bench/identity_run"
  fi
else
  echo "Exim module: left out (needs exim4-dev)"
fi
echo
if command -v valgrind >/dev/null; then
  bash bench/instructions.sh "$build"
else
  echo "instruction counts: left out (needs valgrind)"
fi
