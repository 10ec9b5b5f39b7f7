#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the libFuzzer targets.
#
#   fuzz/run.sh TARGET SECONDS [libFuzzer options...]
#       Fuzzes TARGET (fuzz_link, fuzz_scanner, fuzz_commands, or "all" for
#       each in turn) for SECONDS seconds, then prints the executions, the
#       executions per second and the coverage (cov: edges, ft: features).
#       A smoke run in CI takes 30 seconds a target; long runs take as long
#       as you like.
#   fuzz/run.sh TARGET check
#       Runs every kept crashing input (fuzz/regressions/TARGET/) and every
#       seed (fuzz/corpus/TARGET/) once; fails if any of them crashes.
#   fuzz/run.sh TARGET coverage
#       Line and branch coverage of the bridge's sources by TARGET's corpus
#       (the one the last run grew, else the seeds), from a separate build
#       with clang's source-based coverage (build-fuzz-coverage; needs
#       llvm-profdata and llvm-cov). "all" reports the three together.
#
# The targets are built first with the "fuzz" preset (clang, libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer), which is quick when they
# are up to date. The fuzzer works on a copy of the seed corpus in
# build-fuzz/fuzz-work/TARGET/corpus, fresh for every run unless
# FUZZ_KEEP_CORPUS=1 (then a long run goes on from what earlier runs found).
# Crashing inputs land in build-fuzz/fuzz-work/TARGET/artifacts/; copy one to
# fuzz/regressions/TARGET/ once its fault is fixed.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build-fuzz"
TARGETS=(fuzz_link fuzz_scanner fuzz_commands)

usage() {
  echo "usage: $0 TARGET SECONDS [libFuzzer options...] | $0 TARGET check|coverage" >&2
  echo "TARGET: ${TARGETS[*]} or all" >&2
  exit 2
}

[[ $# -ge 2 ]] || usage
TARGET="$1"
MODE="$2"
shift 2
case " ${TARGETS[*]} all " in
  *" $TARGET "*) ;;
  *) usage ;;
esac

# Runs a build step quietly; shows its output when it fails.
quietly() {
  local out
  if ! out="$("$@" 2>&1)"; then
    echo "$out" >&2
    echo "== $* failed" >&2
    exit 1
  fi
}

# The corpus a target's figures come from: what the last run grew, or the
# seeds and the kept crashing inputs.
corpus_of() {
  local grown="$BUILD/fuzz-work/$1/corpus"
  if compgen -G "$grown/*" >/dev/null; then
    echo "$grown"
  else
    echo "$ROOT/fuzz/corpus/$1"
    if compgen -G "$ROOT/fuzz/regressions/$1/*" >/dev/null; then
      echo "$ROOT/fuzz/regressions/$1"
    fi
  fi
}

find_tool() {
  local name
  for name in "$1" "$1-14"; do
    if command -v "$name" >/dev/null; then
      echo "$name"
      return
    fi
  done
  echo "== $1 not found (Debian package llvm)" >&2
  exit 1
}

coverage() {
  local cov_build="$ROOT/build-fuzz-coverage"
  local profdata cov
  profdata="$(find_tool llvm-profdata)"
  cov="$(find_tool llvm-cov)"
  cd "$ROOT"
  if [[ ! -f "$cov_build/CMakeCache.txt" ]]; then
    quietly cmake --preset fuzz -B "$cov_build" \
      -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping"
  fi
  rm -rf "$cov_build/profiles"
  mkdir -p "$cov_build/profiles"
  local objects=() t dirs
  for t in "$@"; do
    quietly cmake --build "$cov_build" --target "$t"
    mapfile -t dirs < <(corpus_of "$t")
    echo "== $t: running ${dirs[*]}"
    LLVM_PROFILE_FILE="$cov_build/profiles/$t.profraw" "$cov_build/fuzz/$t" -runs=0 "${dirs[@]}" \
      >/dev/null 2>&1 || true
    objects+=(-object "$cov_build/fuzz/$t")
  done
  "$profdata" merge -sparse "$cov_build"/profiles/*.profraw -o "$cov_build/profiles/all.profdata"
  # The first object is the binary, the others are passed with -object.
  "$cov" report "${objects[@]:1}" -instr-profile="$cov_build/profiles/all.profdata" \
    "$ROOT/bridge" "$ROOT/commands" "$ROOT/net" "$ROOT/session" "$ROOT/wire"
}

if [[ "$MODE" == coverage ]]; then
  if [[ "$TARGET" == all ]]; then
    coverage "${TARGETS[@]}"
  else
    coverage "$TARGET"
  fi
  exit 0
fi

if [[ "$TARGET" == all ]]; then
  status=0
  for t in "${TARGETS[@]}"; do
    "$0" "$t" "$MODE" "$@" || status=1
  done
  exit $status
fi

build() {
  cd "$ROOT"
  if [[ ! -f "$BUILD/CMakeCache.txt" ]]; then
    quietly cmake --preset fuzz
  fi
  quietly cmake --build --preset fuzz --target "$TARGET"
}

# Larger inputs make each run slower without reaching more: the scanner and
# link targets need room for a few packets and a colour table.
max_len() {
  case "$1" in
    fuzz_commands) echo 4096 ;;
    *) echo 8192 ;;
  esac
}

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

build
BIN="$BUILD/fuzz/$TARGET"

if [[ "$MODE" == check ]]; then
  inputs=()
  for dir in "$ROOT/fuzz/regressions/$TARGET" "$ROOT/fuzz/corpus/$TARGET"; do
    [[ -d "$dir" ]] || continue
    for f in "$dir"/*; do
      [[ -f "$f" ]] && inputs+=("$f")
    done
  done
  echo "== $TARGET: ${#inputs[@]} kept inputs"
  if [[ ${#inputs[@]} -eq 0 ]]; then
    exit 0
  fi
  log="$(mktemp)"
  if "$BIN" "${inputs[@]}" >"$log" 2>&1; then
    grep -E "^$TARGET:" "$log" || true
    rm -f "$log"
    echo "== $TARGET: all passed"
    exit 0
  fi
  cat "$log"
  rm -f "$log"
  echo "== $TARGET: FAILED" >&2
  exit 1
fi

[[ "$MODE" =~ ^[0-9]+$ ]] || usage
SECONDS_TO_RUN="$MODE"

WORK="$BUILD/fuzz-work/$TARGET"
mkdir -p "$WORK/corpus" "$WORK/artifacts"
if [[ "${FUZZ_KEEP_CORPUS:-0}" != 1 ]]; then
  rm -rf "$WORK/corpus"
  mkdir -p "$WORK/corpus"
fi
cp "$ROOT/fuzz/corpus/$TARGET/"* "$WORK/corpus/"
if compgen -G "$ROOT/fuzz/regressions/$TARGET/*" >/dev/null; then
  cp "$ROOT/fuzz/regressions/$TARGET/"* "$WORK/corpus/"
fi

LOG="$WORK/last-run.log"
echo "== $TARGET: fuzzing for $SECONDS_TO_RUN s (log: $LOG)"
set +e
# Some inputs are slow by nature (an extended request may announce a payload
# of up to 256 MiB, which the bridge builds and sends): scaling the entropic
# schedule by execution time keeps them from taking over a run.
"$BIN" -max_total_time="$SECONDS_TO_RUN" -max_len="$(max_len "$TARGET")" -timeout=30 \
  -entropic_scale_per_exec_time=1 -print_final_stats=1 -artifact_prefix="$WORK/artifacts/" \
  "$@" "$WORK/corpus" >"$LOG" 2>&1
status=$?
set -e

# The last status line holds the coverage; the final stats the rates.
grep -E '^#[0-9]+' "$LOG" | tail -1 || true
grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' \
  "$LOG" || true
grep -E "^$TARGET:" "$LOG" || true
if [[ $status -ne 0 ]]; then
  grep -E 'ERROR|fuzz check failed|SUMMARY|Test unit written' "$LOG" >&2 || true
  echo "== $TARGET: FAILED (exit $status); see $LOG" >&2
  exit $status
fi
echo "== $TARGET: no fault found"
