#!/usr/bin/env bash
# The package-list guard: passes on the list as it stands, and fails, naming the
# package, once a package the build needs is dropped from the list.
set -uo pipefail
source_dir=$1 build_dir=$2
setup=$source_dir/scripts/setup.sh

if ! out=$(bash "$setup" --check "$build_dir" 2>&1); then
  echo "FAIL: the check refuses the list as it stands:"; echo "$out"; exit 1
fi
echo "$out"

for dropped in libusb-1.0-0-dev libxml2-dev; do
  out=$(bash "$setup" --check "$build_dir" --without "$dropped" 2>&1)
  status=$?
  if [[ $status -ne 1 || $out != *"package $dropped "* ]]; then
    echo "FAIL: without $dropped the check said (exit $status):"; echo "$out"; exit 1
  fi
  echo "without $dropped: refused as it should be"
done
