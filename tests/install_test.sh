#!/bin/sh
# Installs the build into a temporary prefix and runs the installed programs from another folder:
# the layout, and the network installed beside the programs, read only when the working
# directory has no nn.dat of its own.
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR VERSION
set -u
cmake=$1 build=$2 source=$3 version=$4
fail() { echo "FAILED: $*"; exit 1; }
check() { [ "$1" = "$2" ] || fail "$3: expected '$2', got '$1'"; }  # ACTUAL EXPECTED WHAT

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$cmake" --install "$build" --prefix "$work/usr" >"$work/install.log" 2>&1 ||
  fail "cmake --install: $(cat "$work/install.log")"
prefix=$(cd "$work/usr" && pwd -P)
for file in bin/leafid bin/leafid-train bin/leafid-eval bin/leafid-serve share/leafid/nn.dat \
  share/man/man1/leafid.1.gz share/man/man1/leafid-train.1.gz share/man/man1/leafid-eval.1.gz \
  share/man/man1/leafid-serve.1.gz \
  share/doc/leafid/README.md share/doc/leafid/docs/windows.png; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
installed=$prefix/share/leafid/nn.dat
cmp -s "$source/nn.dat" "$installed" || fail "the installed network is not the shipped nn.dat"

mkdir "$work/elsewhere" && cd "$work/elsewhere" || exit 1
for program in leafid leafid-train leafid-eval leafid-serve; do
  "$prefix/bin/$program" --help </dev/null >help || fail "$program --help failed"
  head -n 1 help | grep -q "^Usage: $program " || fail "$program --help: $(cat help)"
  expected="$program (leafid) $version"
  [ $program = leafid ] && expected="leafid $version"
  check "$("$prefix/bin/$program" --version </dev/null)" "$expected" "$program --version"
done

# leafid's whole output for the input "end", then its exit code.
dialogue() {
  printf end | DISPLAY= "$prefix/bin/leafid" "$@"
  echo " ($?)"
}
loaded() { printf 'Loading network from file %s...\nNetwork successfully loaded.\n\nEnter image path:  (0)' "$1"; }
unloaded() { printf "Network wasn't loaded\nPress Enter key to close program... (3)"; }
unopened() { printf 'Unable to open file nn.dat\n' && unloaded; }
refused() { printf 'Loading network from file %s...\nNetwork file %s %s\n' "$1" "$1" "$2" && unloaded; }

check "$(dialogue other words -x)" "$(loaded "$installed")" \
  "no nn.dat here: the installed one, and other arguments are ignored"
printf '\n5\n1\n2\n1 0 0 0 0\n0 1 0 0 0\n' >nn.dat
check "$(dialogue)" "$(loaded nn.dat)" "nn.dat here is read first"
invalid="is invalid: line 1 holds 'x' where the layer size belongs (a whole number of 32 bits)"
printf 'x\n' >nn.dat
check "$(dialogue)" "$(refused nn.dat "$invalid")" "a refused nn.dat here stays refused"

mkdir data data/ginkgo data/lime data/maple data/oak data/willow
check "$("$prefix/bin/leafid-eval" data 2>&1 | head -n 1)" \
  "leafid-eval: Network file nn.dat $invalid" \
  "leafid-eval refuses the nn.dat here"
rm nn.dat
ln -s gone.dat nn.dat
check "$(dialogue)" "$(unopened)" \
  "a dangling nn.dat link here is named, not passed over"
rm nn.dat
check "$("$prefix/bin/leafid-eval" data 2>/dev/null | head -n 1)" \
  "Network $installed on data: 0 images, 0 measured, 0 skipped" \
  "leafid-eval reads the installed network"

printf 'x\n' >"$installed"
check "$(dialogue)" "$(refused "$installed" "$invalid")" "a damaged installed network is named"
rm "$installed"
check "$(dialogue)" "$(unopened)" "with neither network it ends as always"
echo "installed into $prefix and checked"
