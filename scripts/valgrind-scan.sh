#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One end-to-end scan per variant with the bridge under valgrind memcheck.
#
#   scripts/valgrind-scan.sh [SCANBRIDGE SCANEMU SCANCLIENT]
#
# Starts the emulator, then scanclient with a small scan, whose bridge is a
# wrapper that runs scanbridge under memcheck. scanclient stops its bridge with
# SIGTERM once the scan is done; the wrapper hands the signal on and records
# valgrind's exit status. Passes (exit 0) when both scans are right and
# memcheck found no error and no definite or indirect leak (exit status 0, not
# 99). Exit 77 when valgrind is not installed (CTest counts that as skipped).
# The executables default to those of build/.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BRIDGE="${1:-$ROOT/build/scanbridge}"
SCANEMU="${2:-$ROOT/build/scanemu}"
SCANCLIENT="${3:-$ROOT/build/scanclient}"

if ! command -v valgrind >/dev/null; then
  echo "valgrind-scan: valgrind is not installed; skipped"
  exit 77
fi
for exe in "$BRIDGE" "$SCANEMU" "$SCANCLIENT"; do
  [[ -x "$exe" ]] || { echo "valgrind-scan: $exe is missing (build it first)" >&2; exit 1; }
done
BRIDGE="$(realpath "$BRIDGE")"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/valgrind-scan.XXXXXX")"
EMULATOR_PID=""
cleanup() {
  if [[ -n "$EMULATOR_PID" ]]; then
    kill "$EMULATOR_PID" 2>/dev/null || true
    wait "$EMULATOR_PID" 2>/dev/null || true
  fi
  [[ -n "${KEEP_WORK:-}" ]] || rm -rf "$WORK"
}
trap cleanup EXIT

# The wrapper scanclient starts as its bridge. It does not exec valgrind, so
# that it can record the exit status; it hands the stop signals on (a
# background job of a script starts with SIGINT ignored, so TERM goes for INT
# too) and waits until valgrind has really ended. $1: the log, $2: the status
# file.
make_wrapper() {
  cat >"$WORK/bridge-under-valgrind" <<EOF
#!/usr/bin/env bash
# Only standard input, output and error go to the bridge, so that the
# descriptors memcheck lists at exit are the bridge's own.
inherited=()
for fd in /proc/\$\$/fd/*; do
  n=\${fd##*/}
  [[ \$n -gt 2 ]] && inherited+=(\$n)
done
(
  for n in "\${inherited[@]}"; do eval "exec \$n>&-"; done
  exec valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \\
    --errors-for-leak-kinds=definite,indirect --track-fds=yes --log-file="$1" "$BRIDGE"
) &
child=\$!
stop() {
  kill -"\$1" \$child 2>/dev/null
}
trap 'stop TERM' TERM INT
trap 'stop HUP' HUP
while :; do
  status=0
  wait \$child || status=\$?
  kill -0 \$child 2>/dev/null || break
done
echo \$status >"$2"
exit \$status
EOF
  chmod +x "$WORK/bridge-under-valgrind"
}

failed=0
for variant in nt is; do
  log="$WORK/memcheck-$variant.log"
  status_file="$WORK/status-$variant"
  image="$WORK/scan-$variant.pnm"
  make_wrapper "$log" "$status_file"

  exec {emu_out}< <(exec "$SCANEMU" --variant "$variant" --port 0 --block-size 2000 2>/dev/null)
  EMULATOR_PID=$!
  port=""
  read -r -t 10 -u "$emu_out" port || true
  if [[ ! "$port" =~ ^[0-9]+$ ]]; then
    echo "valgrind-scan: scanemu printed no port" >&2
    exit 1
  fi

  start=$SECONDS
  echo "== $variant: 96x64 RGB scan, bridge under memcheck"
  client_status=0
  "$SCANCLIENT" --bridge "$WORK/bridge-under-valgrind" --timeout 60 --no-progress \
    scan "net://127.0.0.1:$port" --output "$image" --width 96 --height 64 --colour \
    --resolution 100 >"$WORK/client-$variant.out" 2>&1 || client_status=$?
  kill "$EMULATOR_PID" 2>/dev/null || true
  wait "$EMULATOR_PID" 2>/dev/null || true
  EMULATOR_PID=""
  exec {emu_out}<&-

  sed 's/^/   /' "$WORK/client-$variant.out" | grep -E 'scanned|error|scanclient:' || true
  if [[ $client_status -ne 0 ]]; then
    echo "valgrind-scan: $variant: scanclient exited with $client_status" >&2
    cat "$WORK/client-$variant.out" >&2
    failed=1
  fi
  # 96 x 64 x 3 samples after the PNM header "P6\n96 64\n255\n".
  if [[ ! -f "$image" ]] || [[ "$(stat -c %s "$image")" -ne $((96 * 64 * 3 + 13)) ]]; then
    echo "valgrind-scan: $variant: no image of the right size" >&2
    failed=1
  fi
  if [[ ! -f "$status_file" ]]; then
    echo "valgrind-scan: $variant: the bridge under valgrind did not end normally" >&2
    failed=1
  else
    bridge_status="$(cat "$status_file")"
    echo "   memcheck: exit status $bridge_status, $((SECONDS - start)) s"
    grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|All heap blocks|in use at exit|FILE DESCRIPTORS' \
      "$log" | sed -E 's/^==[0-9]+== +/   /'
    if [[ "$bridge_status" -ne 0 ]] || ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
      echo "valgrind-scan: $variant: memcheck found errors or leaks:" >&2
      cat "$log" >&2
      failed=1
    fi
  fi
done

if [[ $failed -ne 0 ]]; then
  echo "valgrind-scan: FAILED" >&2
  exit 1
fi
echo "valgrind-scan: no errors, no leaks"
