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
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
runs=0
differ() {
  echo "DIFFERENT: $*"
  failures=$((failures + 1))
}

# Runs a program on both platforms, with PLATFORM in its arguments standing for linux or
# windows, and compares what they printed to $scratch/PLATFORM.console.
both() {
  local program=$1
  shift
  for platform in linux windows; do
    if [ $platform = linux ]; then
      "$linux/$program" "${@//PLATFORM/linux}" || true
    else
      # wine reads arguments and file names in the locale's character set: UTF-8, whatever
      # the caller's locale.
      LC_ALL=C.UTF-8 "${WINE:-wine}" "$windows/$program.exe" "${@//PLATFORM/windows}" |
        sed "s/in module $program\.exe at/in module $program at/" || true
    fi >"$scratch/$platform.console"
  done
  runs=$((runs + 1))
  cmp -s "$scratch"/{linux,windows}.console && return
  differ "$program's console for: $*"
  for platform in linux windows; do
    echo "  $platform printed:"
    cat -v "$scratch/$platform.console" | sed 's/^/    /'
  done
}

# INPUT NAMEID MANUFACTURER: the same container on both platforms, and the image back on both,
# written to paths in CJK.
round_trip() {
  rm -f "$scratch"/*-容器.hex "$scratch"/*-像.img
  both sarnveld2hex "$1" "$scratch/PLATFORM-容器.hex" "$2" "$3"
  both hex2plain "$scratch/PLATFORM-容器.hex" "$scratch/PLATFORM-像.img"
  grep -q $'^Ok\r$' "$scratch/linux.console" || differ "no Ok from hex2plain for $1"
  cmp -s "$scratch"/{linux,windows}-容器.hex || differ "container of $1 named $2, $3"
  for platform in linux windows; do
    cmp -s "$1" "$scratch/$platform-像.img" || differ "image unpacked on $platform from $1"
  done
}

# The test corpus: the example, the fuzz seeds, the format text; and generated images: empty,
# one byte, erased flash, and several MiB of code and data (the Windows test program), which
# the packer cuts into segments; a plainfile named in Greek and CJK, which Windows finds only
# when it takes the path as UTF-8.
inputs=(examples/blinky.bin docs/format.md)
while IFS= read -r -d '' file; do inputs+=("$file"); done \
  < <(find fuzz/corpus -type f -print0 | sort -z)
: >"$scratch/empty"
printf 'A' >"$scratch/one-byte"
head -c 3000000 /dev/zero | tr '\0' '\377' >"$scratch/erased"
cp "$windows/unit_tests.exe" "$scratch/code"
greek_cjk="$scratch/εικόνα-映像.bin"
cp examples/blinky.bin "$greek_cjk"
inputs+=("$scratch/empty" "$scratch/one-byte" "$scratch/erased" "$scratch/code" "$greek_cjk")
for input in "${inputs[@]}"; do round_trip "$input" "Board 7" -; done
# Names beyond ASCII: the header holds the same UTF-8 bytes, cut to 15 inside a character when
# longer; U+1D11E is a surrogate pair on Windows.
round_trip "$greek_cjk" "Zähler-µC" "Ünïcödé"
round_trip "$greek_cjk" "Ζυγαριά東京" "𝄞株式会社"

# Failures: the same report, up to the module's name, with the paths it names as UTF-8 bytes.
# A copy that names itself, so that a program that truncated its input would harm no other file.
cp examples/blinky.bin "$scratch/同じ.bin"
for arguments in "$scratch/同じ.bin $scratch/同じ.bin" "$greek_cjk $scratch/無い/out.hex"; do
  # shellcheck disable=SC2086
  both sarnveld2hex $arguments - -
  grep -q "^Exception E" "$scratch/linux.console" || differ "no failure report for: $arguments"
done
cmp -s examples/blinky.bin "$scratch/同じ.bin" || differ "an input that named itself changed"

echo "compared ${#inputs[@]} inputs, 2 pairs of names and $runs runs in all: $failures differences"
[ "$failures" -eq 0 ]
