#!/bin/sh
# Builds the Debian package into a temporary folder and checks it without installing it: lintian
# finds no errors, the dependencies come from dpkg-shlibdeps, and the unpacked leafid, run from
# another folder, answers a shared photo with its own network exactly as the built one does
# beside the shipped nn.dat. Its man pages show the options and examples.
# Usage: package_test.sh CPACK BUILD_DIR SOURCE_DIR VERSION BUILT_LEAFID   Exit 77 means skipped.
set -u
cpack=$1 build=$2 source=$3 version=$4 built=$5
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
for tool in dpkg-deb lintian man; do
  command -v $tool >/dev/null 2>&1 || skip "$tool is not installed (scripts/setup installs it)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cpack" --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
  fail "cpack: $(cat "$work/cpack.log")"
deb=$work/leafid_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb: $(ls "$work")"
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || fail "lintian: $(cat "$work/lintian.log")"
dpkg-deb -f "$deb" Depends | grep -q 'libopencv-core[0-9]* (>=' ||
  fail "dependencies not found by dpkg-shlibdeps: $(dpkg-deb -f "$deb" Depends)"

dpkg-deb -x "$deb" "$work/root"
root=$(cd "$work/root" && pwd -P)
mkdir "$work/elsewhere" && cd "$work/elsewhere" || exit 1
[ "$("$root/usr/bin/leafid" --version </dev/null)" = "leafid $version" ] || fail "leafid --version"
for program in leafid leafid-train leafid-eval; do
  page=$(man -l "$root/usr/share/man/man1/$program.1.gz" 2>&1)
  for part in NAME SYNOPSIS OPTIONS EXAMPLES "--help" "--version" "leafid $version"; do
    case $page in *"$part"*) ;; *) fail "man page of $program has no '$part': $page" ;; esac
  done
done

leaves=$source/../shared/leaves
photo=$(find "$leaves" -name '*.jpg' 2>/dev/null | sort | head -n 1)
[ -n "$photo" ] || skip "the package is fine, but $leaves has no photos to answer"
unpacked=$(printf '%s end' "$photo" | DISPLAY= "$root/usr/bin/leafid")
expected=$(cd "$source" && printf '%s end' "$photo" | DISPLAY= "$built")
[ "$unpacked" = "$(echo "$expected" | sed "1s|nn.dat|$root/usr/share/leafid/nn.dat|")" ] ||
  fail "the unpacked leafid answered '$unpacked' instead of '$expected'"
case $unpacked in *"tree = "*) ;; *) fail "no species for $photo: $unpacked" ;; esac
echo "$deb: lintian without errors; $photo answered with the installed network"
