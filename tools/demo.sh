#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The demo scan: starts the scanner emulator, scans its test image through the
# bridge with scanclient, once per protocol variant, and leaves the images in
# the build folder. Usage: tools/demo.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:-build}" && pwd)

emu_pid=""
stop_emulator() { [ -n "$emu_pid" ] && kill "$emu_pid" 2>/dev/null && wait "$emu_pid" 2>/dev/null; emu_pid=""; }
trap stop_emulator EXIT

for variant in is nt; do
  coproc EMU { exec "$build/scanemu" --variant "$variant" --port 0; }
  emu_pid=$EMU_PID
  read -r -t 10 port <&"${EMU[0]}"
  image="$build/demo-$variant.png"
  echo "scanning the test image over the ${variant^^} variant from 127.0.0.1:$port"
  "$build/scanclient" scan "net://127.0.0.1:$port" --output "$image" --colour --resolution 200 --verbose
  stop_emulator
done
echo "open $build/demo-is.png or $build/demo-nt.png to see the scanned test image"
