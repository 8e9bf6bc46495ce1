#!/usr/bin/env bash
# Installs the build into a scratch prefix and uses it as an installed user
# would: every file where the desktop, man and udev look for it, one version
# everywhere, and the installed launcher and brv flashing the demo package
# (with the launcher's private library, not the build tree's).
# Usage: install_test.sh BUILD_DIR VERSION DESKTOP_FILE_VALIDATE SYSTEMD_ANALYZE
set -euo pipefail
build=$1
version=$2
validate=$3
analyze=$4
scratch=$(mktemp -d /tmp/brv-install-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" || {
  cat "$scratch/install.log" >&2
  exit 1
}

for f in bin/brenvik bin/brv bin/brv-vhandset; do
  [[ -x $prefix/$f ]] || fail "$f is not installed as a program"
done
for f in lib/brenvik/libvhandset.so lib/udev/rules.d/51-brenvik.rules \
         share/applications/brenvik.desktop share/icons/hicolor/128x128/apps/brenvik.png \
         share/man/man1/brv.1.gz share/man/man1/brenvik.1.gz share/man/man1/brv-vhandset.1.gz \
         lib/systemd/system/brv-station@.service; do
  [[ -f $prefix/$f ]] || fail "$f is not installed"
done
[[ ! -e $prefix/lib/libvhandset.so ]] || fail "libvhandset.so is installed on the public library path"

"$validate" "$prefix/share/applications/brenvik.desktop" || fail "the desktop entry does not validate"

# The station's unit, as an instance for a package path: systemd accepts it
# without a word, and it starts the installed brv.
unit=$prefix/lib/systemd/system/brv-station@.service
grep -q "^ExecStart=$prefix/bin/brv station " "$unit" || fail "the station unit does not start $prefix/bin/brv"
if ! complaints=$("$analyze" verify --man=no "$(dirname "$unit")/brv-station@srv-firmware-phone.brp.service" 2>&1) ||
   [[ -n $complaints ]]; then
  fail "systemd-analyze verify: $complaints"
fi
for page in brv brenvik brv-vhandset; do
  zcat "$prefix/share/man/man1/$page.1.gz" | grep -q "^\.TH .*\"Brenvik $version\"" ||
    fail "man page $page(1) does not carry version $version"
done

for program in brv brenvik brv-vhandset; do
  out=$("$prefix/bin/$program" --version 2>&1) || fail "$program --version exits with $?"
  [[ $out == "$program $version" ]] || fail "$program --version printed '$out', expected '$program $version'"
done

# The launcher preloads its own installed library.
preload=$("$prefix/bin/brv-vhandset" --state "$scratch/env" -- /usr/bin/env | sed -n 's/^LD_PRELOAD=//p')
[[ $preload == "$prefix/lib/brenvik/libvhandset.so" ]] || fail "the installed launcher preloads '$preload'"

if ! "$prefix/bin/brv-vhandset" --state "$scratch/handset" --memory emmc --disk-size 64M -- \
     "$prefix/bin/brv" flash "$build/examples/demo.brp" >"$scratch/flash.log" 2>&1; then
  cat "$scratch/flash.log" >&2
  fail "the installed brv-vhandset and brv do not flash the demo package"
fi
grep -q 'power.*reset' "$scratch/handset/transcript.txt" 2>/dev/null ||
  fail "the handset was never reset: the flash did not reach its end"

if ((failures > 0)); then
  exit 1
fi
echo "install test passed ($prefix)"
