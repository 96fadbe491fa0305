#!/usr/bin/env bash
# Native fuzzing of the launcher's parsers (clang, libFuzzer, ASan and UBSan) in build/fuzz.
#   fuzz.sh build                 configure and build the targets and the stand-in check
#   fuzz.sh check                 the UTF-8 stand-in against Wine's answers
#   fuzz.sh smoke TARGET [SECONDS] the seed corpus, then SECONDS (default 10) of fuzzing
#   fuzz.sh coverage              line and branch coverage of formats/ by the corpus so far
#   fuzz.sh run SECONDS [TARGET...] each target in turn (all by default), one at a time;
#                                 with RUNS=n in the environment each stops after n inputs
#                                 if that comes first. The figures go to build/fuzz/last-run.txt.
# A finding ends with a nonzero status and its input in build/fuzz/findings/.
set -u
cd "$(dirname "$0")/.."
root=$PWD
dir=${TARSIN_FUZZ_DIR:-$root/build/fuzz}
all_targets=(manifest state_text lines statement)

seeds() {  # the committed corpus a target starts from
  case $1 in
    manifest) echo "$root/tests/fuzz/corpus/manifest" ;;
    state_text) echo "$root/tests/fuzz/corpus/state" ;;
    lines) echo "$root/tests/fuzz/corpus/manifest $root/tests/fuzz/corpus/state" ;;
    statement) echo "$root/tests/fuzz/corpus/statement" ;;
    *) echo "unknown target: $1" >&2; return 1 ;;
  esac
}

max_len() {  # the line rules need no long texts; the readers get whole files
  case $1 in lines) echo 1024 ;; statement) echo 4200 ;; *) echo 8192 ;; esac
}

build() {
  cmake -S "$root/tests/fuzz" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null &&
    cmake --build "$dir" -j2
}

# fuzz TARGET SECONDS SEED [smoke]: new inputs go to build/fuzz/corpus/TARGET, never to
# the seeds; a smoke run reads that corpus but keeps its own finds and log apart, so it
# may run beside a long run.
fuzz() {
  local target=$1 seconds=$2 seed=$3 kind=${4:-run} corpus work log
  corpus=$(seeds "$target") || return 1
  mkdir -p "$dir/corpus/$target" "$dir/findings"
  work=$dir/corpus/$target
  log=$dir/$target.log
  if [ "$kind" = smoke ]; then
    work=$dir/smoke/$target
    log=$dir/$target-smoke.log
    rm -rf "$work" && mkdir -p "$work"
    corpus="$dir/corpus/$target $corpus"
  fi
  "$dir/${target}_fuzzer" -max_total_time="$seconds" -runs="${RUNS:--1}" -max_len="$(max_len "$target")" \
    -seed="$seed" -timeout=10 -rss_limit_mb=2048 \
    -dict="$root/tests/fuzz/formats.dict" -artifact_prefix="$dir/findings/$target-" -print_final_stats=1 \
    "$work" $corpus 2>"$log"
  local rc=$?
  local done_line execs
  done_line=$(grep -aE '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ $rc -ne 0 ]; then
    tail -n 40 "$log"
    echo "fuzz $target: FINDING (exit $rc), input in $dir/findings/, log $log"
    return 1
  fi
  echo "fuzz $target: ${execs:-?} executions in $(sed -n 's/^Done [0-9]* runs in //p' "$log")," \
    "no finding; $(echo "$done_line" | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9A-Za-z]+')"
}

# Replays each target's corpus in a build for llvm-cov, and reports formats/.
coverage() {
  local cov=$dir-coverage t
  cmake -S "$root/tests/fuzz" -B "$cov" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DFUZZ_COVERAGE=ON >/dev/null &&
    cmake --build "$cov" -j2 >/dev/null || return 1
  rm -f "$cov"/*.profraw
  for t in "${all_targets[@]}"; do
    mkdir -p "$dir/corpus/$t"
    LLVM_PROFILE_FILE="$cov/$t.profraw" "$cov/${t}_fuzzer" -runs=0 "$dir/corpus/$t" $(seeds "$t") 2>/dev/null
  done
  llvm-profdata-14 merge -o "$cov/all.profdata" "$cov"/*.profraw &&
    llvm-cov-14 report "$cov/lines_fuzzer" -object "$cov/manifest_fuzzer" -object "$cov/state_text_fuzzer" -object "$cov/statement_fuzzer" \
      -instr-profile="$cov/all.profdata" "$root/formats/lines.cpp" "$root/formats/manifest.cpp" \
      "$root/formats/state_text.cpp" "$root/formats/list_statement.cpp" "$root/tests/fuzz/text_native.cpp"
}

case ${1:-} in
  build) build ;;
  coverage) coverage ;;
  check) "$dir/utf8_check" ;;
  smoke) fuzz "$2" "${3:-10}" 1 smoke ;;
  run)
    seconds=${2:?seconds per target}
    shift 2
    targets=("$@")
    [ $# -eq 0 ] && targets=("${all_targets[@]}")
    build || exit 1
    {
      echo "$(date -u '+%Y-%m-%d %H:%M') UTC, $(git rev-parse --short HEAD), SECONDS=$seconds RUNS=${RUNS:-}"
      failed=0
      for t in "${targets[@]}"; do fuzz "$t" "$seconds" 0 || failed=1; done
      exit $failed
    } | tee "$dir/last-run.txt"
    exit "${PIPESTATUS[0]}" ;;
  *) sed -n '2,10p' "$0"; exit 2 ;;
esac
