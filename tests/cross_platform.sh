#!/usr/bin/env bash
# Packs the same inputs with the Linux and the Windows programs (the latter under wine) and
# compares the containers and the console bytes; then each build checks and unpacks the
# containers. Failure reports differ only in the module's name: sarnveld2hex.exe on Windows.
#
#   tests/cross_platform.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 LINUX_BUILD_DIR WINDOWS_BUILD_DIR" >&2; exit 2; }
linux=$(realpath "$1")
windows=$(realpath "$2")
cd "$(dirname "$0")/.."
wine=${WINE:-wine}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The test corpus: the example, the fuzz seeds, the format text; and generated images: empty,
# one byte, erased flash, and several MiB of code and data (the Windows test program), which
# the packer cuts into segments.
inputs=(examples/blinky.bin docs/format.md)
while IFS= read -r -d '' file; do inputs+=("$file"); done \
  < <(find fuzz/corpus -type f -print0 | sort -z)
: >"$scratch/empty"
printf 'A' >"$scratch/one-byte"
head -c 3000000 /dev/zero | tr '\0' '\377' >"$scratch/erased"
cp "$windows/unit_tests.exe" "$scratch/code"
inputs+=("$scratch/empty" "$scratch/one-byte" "$scratch/erased" "$scratch/code")

failures=0
differ() {
  echo "DIFFERENT: $*"
  failures=$((failures + 1))
}

# What each platform printed, when that differs: the report says why a run failed.
differ_console() {
  differ "$1"
  for platform in linux windows; do
    echo "  $platform printed:"
    cat -v "$scratch/$platform.$2" | sed 's/^/    /'
  done
}

# The console output of one run, with the Windows module name spelled as on Linux.
run() {
  local platform=$1 program=$2
  shift 2
  if [ "$platform" = linux ]; then
    "$linux/$program" "$@" || true
  else
    "$wine" "$windows/$program.exe" "$@" | sed "s/in module $program\.exe at/in module $program at/" || true
  fi
}

for input in "${inputs[@]}"; do
  rm -f "$scratch"/{linux,windows}.{hex,img}
  for platform in linux windows; do
    run $platform sarnveld2hex "$input" "$scratch/$platform.hex" "Board 7" - >"$scratch/$platform.pack"
    run $platform hex2plain "$scratch/$platform.hex" "$scratch/$platform.img" >"$scratch/$platform.unpack"
  done
  cmp -s "$scratch/linux.hex" "$scratch/windows.hex" || differ "container of $input"
  cmp -s "$scratch/linux.pack" "$scratch/windows.pack" || differ_console "packer's console for $input" pack
  cmp -s "$scratch/linux.unpack" "$scratch/windows.unpack" ||
    differ_console "hex2plain's console for $input" unpack
  for platform in linux windows; do
    cmp -s "$input" "$scratch/$platform.img" || differ "image unpacked on $platform from $input"
  done
  grep -q $'^Ok\r$' "$scratch/linux.unpack" || differ "no Ok from hex2plain for $input"
done

# Failures: the same report, up to the module's name.
# A copy names itself: a program that truncated its input would not harm the repository.
cp examples/blinky.bin "$scratch/same.bin"
for arguments in "$scratch/nowhere $scratch/out.hex - -" "$scratch $scratch/out.hex - -" \
  "$scratch/same.bin $scratch/same.bin - -"; do
  # shellcheck disable=SC2086
  for platform in linux windows; do run $platform sarnveld2hex $arguments >"$scratch/$platform.fail"; done
  cmp -s "$scratch/linux.fail" "$scratch/windows.fail" || differ_console "failure report for: $arguments" fail
  grep -q "^Exception E" "$scratch/linux.fail" || differ "no failure report for: $arguments"
done
cmp -s examples/blinky.bin "$scratch/same.bin" || differ "an input that named itself changed"
: >"$scratch/empty.hex"
for platform in linux windows; do run $platform hex2plain "$scratch/empty.hex" >"$scratch/$platform.fail"; done
cmp -s "$scratch/linux.fail" "$scratch/windows.fail" || differ_console "hex2plain's report for an empty file" fail

echo "compared ${#inputs[@]} inputs and 4 failures: $failures differences"
[ "$failures" -eq 0 ]
