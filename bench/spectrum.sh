#!/usr/bin/env bash
# Times the spectrum step against the FFTW reference in one run and prints the
# ratio of their medians. Usage: bench/spectrum.sh [REPETITIONS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
reps="${1:-15}"
cmake --build "$root/build" --target bench_spectrum -j2 >/dev/null
out=$("$root/build/bench/bench_spectrum" --benchmark_repetitions="$reps" --benchmark_report_aggregates_only=true \
  --benchmark_format=csv 2>/dev/null)
echo "$out" | grep -E '_median"' | awk -F, '{gsub(/"/, "", $1); printf "%-34s %10.1f us\n", $1, $3 / 1000}'
echo "$out" | awk -F, '
  /"BM_updateSpectrum_median"/ { ours = $3 }
  /"BM_fftwReference_median"/  { ref = $3 }
  /"BM_textbookStep_median"/   { book = $3 }
  END {
    if (ref > 0) printf "ours / FFTW reference: %.3f   textbook / FFTW reference: %.2f\n", ours / ref, book / ref
  }'
