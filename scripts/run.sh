#!/usr/bin/env bash
# The main job: Brenvik against one emulated handset. With a display the window
# starts under the virtual-handset launcher, in the folder that holds the demo
# package (the file chooser opens there); without one, brv flashes the demo
# package onto the virtual handset with a progress bar.
set -euo pipefail
build=$(realpath "${1:-build}")
bin="$build/bin"
demo="$build/examples/demo.brp"
state="$build/run-handset"
# The demo package is for an eMMC handset (512-byte sectors).
handset=(--state "$state" --memory emmc --disk-size 64M)

echo "Demo package: $demo"
echo "Virtual handset state (LUN images, transcript.txt, control FIFO): $state"

if [[ -n "${DISPLAY:-}" ]]; then
  echo "Starting Brenvik: choose File/Open, pick demo.brp, then press Flash."
  cd "$(dirname "$demo")"
  exec "$bin/brv-vhandset" "${handset[@]}" -- "$bin/brenvik"
fi

echo "No display: flashing the demo package with brv."
exec "$bin/brv-vhandset" "${handset[@]}" -- "$bin/brv" flash "$demo"
