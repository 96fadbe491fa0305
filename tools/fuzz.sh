#!/usr/bin/env bash
# Native fuzzing of the launcher's parsers (clang, libFuzzer, ASan and UBSan) in build/fuzz.
#   fuzz.sh build                 configure and build the targets and the stand-in check
#   fuzz.sh check                 the UTF-8 stand-in against Wine's answers
#   fuzz.sh smoke TARGET [SECONDS] the seed corpus, then SECONDS (default 10) of fuzzing
#   fuzz.sh run SECONDS [TARGET...] each target in turn (all by default), one at a time
# A finding ends with a nonzero status and its input in build/fuzz/findings/.
set -u
cd "$(dirname "$0")/.."
root=$PWD
dir=${TARSIN_FUZZ_DIR:-$root/build/fuzz}
all_targets=(manifest state_text lines)

seeds() {  # the committed corpus a target starts from
  case $1 in
    manifest) echo "$root/tests/fuzz/corpus/manifest" ;;
    state_text) echo "$root/tests/fuzz/corpus/state" ;;
    lines) echo "$root/tests/fuzz/corpus/manifest $root/tests/fuzz/corpus/state" ;;
    *) echo "unknown target: $1" >&2; return 1 ;;
  esac
}

build() {
  cmake -S "$root/tests/fuzz" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
    cmake --build "$dir" -j2
}

# fuzz TARGET SECONDS SEED: new inputs go to build/fuzz/corpus/TARGET, never to the seeds.
fuzz() {
  local target=$1 seconds=$2 seed=$3 corpus
  corpus=$(seeds "$target") || return 1
  mkdir -p "$dir/corpus/$target" "$dir/findings"
  "$dir/${target}_fuzzer" -max_total_time="$seconds" -seed="$seed" -timeout=10 -rss_limit_mb=2048 \
    -dict="$root/tests/fuzz/formats.dict" -artifact_prefix="$dir/findings/$target-" -print_final_stats=1 \
    "$dir/corpus/$target" $corpus 2>"$dir/$target.log"
  local rc=$?
  local done_line execs
  done_line=$(grep -E '^#[0-9]+ +DONE' "$dir/$target.log" | tail -1)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/$target.log")
  if [ $rc -ne 0 ]; then
    tail -n 40 "$dir/$target.log"
    echo "fuzz $target: FINDING (exit $rc), input in $dir/findings/, log $dir/$target.log"
    return 1
  fi
  echo "fuzz $target: ${execs:-?} executions in ${seconds} s, no finding;" \
    "$(echo "$done_line" | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9A-Za-z]+')"
}

case ${1:-} in
  build) build ;;
  check) "$dir/utf8_check" ;;
  smoke) fuzz "$2" "${3:-10}" 1 ;;
  run)
    seconds=${2:?seconds per target}
    shift 2
    targets=("${@:-${all_targets[@]}}")
    [ $# -eq 0 ] && targets=("${all_targets[@]}")
    build || exit 1
    failed=0
    for t in "${targets[@]}"; do fuzz "$t" "$seconds" 0 || failed=1; done
    exit $failed ;;
  *) sed -n '2,7p' "$0"; exit 2 ;;
esac
