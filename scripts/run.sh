#!/usr/bin/env bash
# The main job: Brenvik against one emulated handset. With a display the window
# starts under the virtual-handset launcher; without one, the command line
# flashes the demo package onto the virtual handset.
set -euo pipefail
build=${1:-build}
bin="$build/bin"
demo="$build/examples/demo.brp"
state="$build/run-handset"

if [[ ! -x "$bin/brv-vhandset" ]]; then
  echo "Only the window exists so far; starting it."
  exec "$bin/brenvik"
fi

# Must match the demo package's storage (examples/demo/meta/params.txt).
handset_opts=(--state "$state" $(cat examples/demo/handset-options 2>/dev/null || true))

if [[ -n "${DISPLAY:-}" && -x "$bin/brenvik" ]]; then
  echo "Package to open: $(realpath "$demo")"
  echo "Handset state (LUN images, transcript): $state"
  cd "$(dirname "$demo")"
  exec "$OLDPWD/$bin/brv-vhandset" "${handset_opts[@]}" -- "$OLDPWD/$bin/brenvik"
fi

echo "No display: flashing $demo onto the virtual handset with brv."
echo "Handset state (LUN images, transcript): $state"
exec "$bin/brv-vhandset" "${handset_opts[@]}" -- "$bin/brv" flash "$demo"
