#!/bin/bash
# End to end: the real brenvik under the virtual-handset launcher, driven like a
# user through X (xdotool) on the display xvfb-run provides. Opens the package
# through File/Open, waits for "Flash", flashes, closes the "Succeeded" box,
# checks that the handset's storage holds the package and quits with File/Quit.
# Screenshots of each stage are kept in OUT for a human to look at.
#
# usage: brenvik_e2e.sh BRENVIK BRV_VHANDSET MAKE_TEST_PACKAGE OUT
set -u

brenvik=$1
launcher=$2
make_package=$3
out=$4

dark=404040
light=d8d8d8
near_white=f0f0f0
red=c02020
white=ffffff
sector=512
xbl_sector=34
boot_sector=64
userdata_sector=128

app_pid=
fail() {
    echo "FAIL: $*" >&2
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null
    exit 1
}

rm -rf "$out"
mkdir -p "$out"
work=$out/work
state=$out/state
mkdir -p "$work"
"$make_package" "$work" >/dev/null || fail "cannot build the test package"

# RRGGBB of one pixel of a screenshot.
pixel() {
    /usr/bin/convert "$1" -crop "1x1+$2+$3" -depth 8 txt:- | tail -1 | sed -n 's/.*#\([0-9A-Fa-f]\{6\}\).*/\1/p' |
        tr 'A-F' 'a-f'
}
expect_pixel() { # file x y colour what
    local got
    got=$(pixel "$1" "$2" "$3")
    [ "$got" = "$4" ] || fail "$5: pixel ($2,$3) of $(basename "$1") is $got, expected $4"
}
expect_not_pixel() {
    local got
    got=$(pixel "$1" "$2" "$3")
    [ "$got" != "$4" ] || fail "$5: pixel ($2,$3) of $(basename "$1") is $got"
}
shot() { import -window "$win" "$out/$1"; }

# Visible top-level windows other than the root and the main window.
other_window() {
    xdotool search --onlyvisible --name '.*' 2>/dev/null | while read -r w; do
        [ "$w" = "$win" ] && continue
        [ "$(xdotool getwindowgeometry "$w" | sed -n 's/.*Geometry: //p')" = "$(xdotool getdisplaygeometry | tr ' ' x)" ] &&
            continue
        echo "$w"
    done | head -1
}

wait_for() { # seconds command...
    local limit=$(($1 * 10))
    shift
    for _ in $(seq 1 "$limit"); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

click() { xdotool mousemove --window "$win" "$1" "$2" click 1; }
open_menu_item() { # y of the item in the File menu
    click 20 10
    sleep 0.4
    click 25 "$1"
}

# The flash takes a while, so the progress can be seen.
(cd "$work" && BRV_PROGRAMMER_WAIT_MS=0 exec "$launcher" --state "$state" --memory emmc --disk-size 1M \
    --response-delay-ms 150 -- "$brenvik") >"$out/brenvik.log" 2>&1 &
app_pid=$!

win=$(timeout 20 xdotool search --sync --name '^Brenvik$' | head -1)
[ -n "$win" ] || fail "the main window did not appear"
sleep 1
shot 1-start.png
expect_pixel "$out/1-start.png" 480 300 $dark "package page background"
expect_pixel "$out/1-start.png" 480 600 $dark "empty progress strip"
expect_pixel "$out/1-start.png" 900 586 $dark "no action button before a package"

# File/Open, type the package's name into the chooser, Enter.
open_menu_item 31
chooser=$(timeout 10 xdotool search --sync --onlyvisible --name '^Choose package$' | head -1)
[ -n "$chooser" ] || fail "the file chooser did not appear"
sleep 0.5
xdotool mousemove --window "$chooser" 300 322
xdotool key End
xdotool type --delay 30 "test.brp"
xdotool key Return

# The Cancel button of the verification has the same light face as Flash, so
# "ready" also needs the progress bar gone (its area dark again).
ready() {
    shot 2-package.png
    [ "$(pixel "$out/2-package.png" 917 593)" = $light ] &&
        [ "$(pixel "$out/2-package.png" 400 586)" = $dark ]
}
wait_for 30 ready || fail "no Flash button after verification"
expect_pixel "$out/2-package.png" 600 300 $dark "package page background"
expect_pixel "$out/2-package.png" 240 308 $red "handset picture centred in the left half"
expect_pixel "$out/2-package.png" 10 700 $dark "footer background"
expect_pixel "$out/2-package.png" 917 593 $light "Flash button face"

click 890 586
sleep 0.3
shot 3-flashing-start.png
# The flash begins by reading every image through its CRC, so the bar may
# already be moving: it must be there, not the dark page.
expect_not_pixel "$out/3-flashing-start.png" 45 586 $dark "progress bar shown when the flash starts"
# Wait until the bar has filled part of the way (neither empty nor hidden).
filling() {
    shot 3-flashing.png
    local p
    p=$(pixel "$out/3-flashing.png" 45 586)
    [ "$p" != $white ] && [ "$p" != $dark ]
}
wait_for 30 filling || fail "the progress bar never moved during the flash"
expect_pixel "$out/3-flashing.png" 600 300 $dark "package page while flashing"
expect_pixel "$out/3-flashing.png" 917 593 $light "Cancel button face while flashing"

box=
find_box() {
    box=$(other_window)
    [ -n "$box" ]
}
wait_for 60 find_box || fail "no message box after the flash"
sleep 0.3
import -window "$box" "$out/4-message.png"
xdotool mousemove --window "$box" 200 40
xdotool key Return
gone() { [ -z "$(other_window)" ]; }
wait_for 10 gone || fail "the message box did not close"
sleep 0.5
shot 5-finished.png
expect_pixel "$out/5-finished.png" 917 593 $light "Flash stays on offer"
expect_pixel "$out/5-finished.png" 45 586 $dark "progress bar hidden after the flash"

# The handset's storage holds the package's images.
lun=$state/lun0.img
cmp -s -n 1000 -i 0:$((xbl_sector * sector)) "$work/tree/xbl.img" "$lun" || fail "xbl not written"
cmp -s -n 4096 -i 0:$((boot_sector * sector)) "$work/tree/boot.img" "$lun" || fail "boot_a not written"
cmp -s -n 2048 -i 0:$((userdata_sector * sector)) "$work/tree/userdata.img" "$lun" || fail "userdata not written"

# File/Quit ends the program with status 0.
open_menu_item 73
ended() { ! kill -0 "$app_pid" 2>/dev/null; }
wait_for 20 ended || fail "File/Quit did not end the program"
wait "$app_pid"
status=$?
app_pid=
[ "$status" -eq 0 ] || fail "exit status $status"
echo "PASS: screenshots in $out"
