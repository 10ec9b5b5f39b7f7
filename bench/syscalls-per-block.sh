#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The system calls the bridge makes per relayed scan block, by name, on both
# variants: the difference between a scan of 1,100 blocks and one of 100 (by
# default 4 KiB blocks, grey lines of 1,024 pixels), so that start-up, OPEN
# and the start of the scan cancel out. The emulator plays the scanner
# and scanclient the driver; strace counts the bridge's calls.
#
#   bench/syscalls-per-block.sh [BUILD_DIR [BLOCK_KIB [BLOCKS]]]
#
# BUILD_DIR defaults to build, BLOCK_KIB to 4; BLOCKS (default 1000) is the
# difference between the two scans, which has to be written to disk once.
set -euo pipefail
BUILD=${1:-build}
BLOCK_KIB=${2:-4}
BLOCKS=${3:-1000}
# Grey lines of 1 KiB, wider for large blocks (a scan has at most 65,535).
LINE_KIB=$((BLOCK_KIB >= 64 ? BLOCK_KIB / 64 : 1))
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 77; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"; kill $(jobs -p) 2>/dev/null || true' EXIT

# Prints the first line a process writes to the file, once it is there.
first_line() {
  for _ in $(seq 200); do
    [ -s "$1" ] && { head -1 "$1"; return; }
    sleep 0.05
  done
  echo "no port line in $1" >&2
  exit 1
}

# count VARIANT LINES OUT: strace -c of the bridge over one scan.
count() {
  "$BUILD/scanemu" --variant "$1" --port 0 --grey --width $((LINE_KIB * 1024)) --block-size $((BLOCK_KIB * 1024)) \
    >"$WORK/emu.out" 2>/dev/null &
  local emu=$!
  strace -f -c -o "$3" "$BUILD/scanbridge" >"$WORK/bridge.out" &
  local tracer=$!
  local port bridge_port
  port=$(first_line "$WORK/emu.out")
  bridge_port=$(first_line "$WORK/bridge.out")
  "$BUILD/scanclient" --connect "$bridge_port" --no-progress scan "net://127.0.0.1:$port" \
    -o "$WORK/scan.pnm" --grey --width $((LINE_KIB * 1024)) --height "$2" --resolution 100 >/dev/null
  # The bridge is strace's child; no other bridge on the machine is touched.
  kill -HUP "$(pgrep -P "$tracer" -x scanbridge)"
  wait "$tracer" || true
  kill "$emu"
  wait "$emu" 2>/dev/null || true
  rm -f "$WORK/emu.out" "$WORK/bridge.out"
}

# Calls by name from an strace -c summary.
calls() {
  awk '$NF != "total" && $4 ~ /^[0-9]+$/ { print $NF, $4 }' "$1" | sort
}

small=$((BLOCKS / 10 * BLOCK_KIB / LINE_KIB))
large=$((small + BLOCKS * BLOCK_KIB / LINE_KIB))
for variant in nt is; do
  count "$variant" "$small" "$WORK/$variant-small"
  count "$variant" "$large" "$WORK/$variant-large"
  echo "$variant: system calls per block of $BLOCK_KIB KiB ($((BLOCKS / 10 + BLOCKS)) blocks less $((BLOCKS / 10)))"
  join -a 2 -e 0 -o 0,1.2,2.2 <(calls "$WORK/$variant-small") <(calls "$WORK/$variant-large") |
    awk -v n="$BLOCKS" '{ d = ($3 - $2) / n; if (d >= 0.005) printf "  %-16s %5.2f\n", $1, d; t += d }
         END { printf "  %-16s %5.2f\n", "total", t }'
done
