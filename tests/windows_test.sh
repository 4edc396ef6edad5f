#!/bin/sh
# Shows a generated leaf in leafid under a private Xvfb server, then checks that the three
# windows exist with their names at their positions and show the right pictures.
# Usage: windows_test.sh LEAFID_BINARY [SCREENSHOT.png]   Exit 77 means skipped.
set -u
leafid=$1 shot_copy=${2:-}
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

for tool in Xvfb xwininfo convert import; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed"
done

work=$(mktemp -d)
xvfb_pid="" leafid_pid=""
cleanup() {
  exec 3>&- 2>/dev/null
  [ -n "$leafid_pid" ] && kill "$leafid_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1

# Xvfb picks a free display number and writes it to the file.
Xvfb -displayfd 1 -screen 0 640x320x24 -nolisten tcp >display 2>xvfb.log &
xvfb_pid=$!
i=0
while [ ! -s display ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
[ -s display ] || skip "Xvfb could not start: $(head -c 300 xvfb.log)"
export DISPLAY=":$(head -n 1 display)"

# A dark grey 20 x 20 square on grey paper, and a network that answers oak for everything.
convert -size 128x96 xc:'gray(180)' -fill 'gray(60)' -draw 'rectangle 40,30 59,49' leaf.png
printf '\n5\n1\n6\n0 0 0 1 0\n0 0 0 0 0\n0 0 0 0 0\n0 0 0 0 0\n0 0 0 0 0\n0 0 0 0 0\n' >nn.dat

mkfifo input
"$leafid" <input >output 2>errors &
leafid_pid=$!
exec 3>input
echo leaf.png >&3
i=0
until grep -q "tree = Oak (Dub)" output; do
  [ $i -lt 300 ] || fail "no answer from leafid: $(cat output errors)"
  sleep 0.1; i=$((i + 1))
done
sleep 0.5
xwininfo -root -tree >windows
import -window root screen.png
[ -n "$shot_copy" ] && cp screen.png "$shot_copy"
echo end >&3
exec 3>&-
wait "$leafid_pid"
code=$?
leafid_pid=""
[ $code -eq 0 ] || fail "leafid ended with code $code: $(cat errors)"

# Each window: its name, the picture's size and its place on the screen.
for window in Original:128 Binarized:275 Contours:422; do
  name=${window%:*}
  x=${window#*:}
  grep -q "\"$name\": .* 128x96+$x+128 " windows || fail "no window \"$name\" 128x96 at ($x, 128): $(cat windows)"
done

# Count pixels of one colour (r,g,b) in a 128 x 96 region at (x, 128) of the screenshot.
count() {
  convert screen.png -crop "128x96+$1+128" +repage -format %c histogram:info:- |
    awk -v c="($2)" '{ gsub(/ /, "") } index($0, c) { n += $1 } END { print n + 0 }'
}
check() {  # x colour minimum maximum what
  n=$(count "$1" "$2")
  [ "$n" -ge "$3" ] && [ "$n" -le "$4" ] || fail "$5: $n pixels of ($2), expected $3 to $4"
}
# The median filter takes 8 pixels off each corner of the silhouette.
# Original shows the picture as read; the paper is levelled to white only for the silhouette.
check 128 "60,60,60" 400 400 "Original shows the grey square"
check 128 "180,180,180" 11888 11888 "Original shows the grey paper"
check 275 "255,255,255" 368 368 "Binarized shows the cut square"
check 275 "0,0,0" 11920 11920 "Binarized shows black around it"
check 422 "0,0,255" 10 30 "Contours shows the blue diameter"
check 422 "0,255,0" 10 30 "Contours shows the green width"
check 422 "255,255,255" 50 100 "Contours shows the white outline"
echo "three windows found and checked on $DISPLAY"
