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
# A plainfile named in Greek and CJK: Windows finds it only when it takes the path as UTF-8.
greek_cjk="$scratch/εικόνα-映像.bin"
cp examples/blinky.bin "$greek_cjk"
inputs+=("$scratch/empty" "$scratch/one-byte" "$scratch/erased" "$scratch/code" "$greek_cjk")

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
    # wine reads arguments and file names in the locale's character set: UTF-8, whatever
    # the caller's locale.
    LC_ALL=C.UTF-8 "$wine" "$windows/$program.exe" "$@" |
      sed "s/in module $program\.exe at/in module $program at/" || true
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

# NameID|Manufacturer beyond ASCII: the header holds the same UTF-8 bytes, cut to 15 inside a
# character when longer; U+1D11E is a surrogate pair on Windows. The container and the image
# are written to paths in CJK.
for names in "Zähler-µC|Ünïcödé" "Ζυγαριά東京|𝄞株式会社"; do
  IFS='|' read -r name maker <<<"$names"
  rm -f "$scratch"/{linux,windows}-容器.hex "$scratch"/{linux,windows}-像.img
  for platform in linux windows; do
    run $platform sarnveld2hex "$greek_cjk" "$scratch/$platform-容器.hex" "$name" "$maker" \
      >"$scratch/$platform.pack"
    run $platform hex2plain "$scratch/$platform-容器.hex" "$scratch/$platform-像.img" \
      >"$scratch/$platform.unpack"
  done
  cmp -s "$scratch/linux-容器.hex" "$scratch/windows-容器.hex" || differ "container for $names"
  cmp -s "$scratch/linux.pack" "$scratch/windows.pack" ||
    differ_console "packer's console for $names" pack
  cmp -s "$scratch/linux.unpack" "$scratch/windows.unpack" ||
    differ_console "hex2plain's console for $names" unpack
  for platform in linux windows; do
    cmp -s "$greek_cjk" "$scratch/$platform-像.img" || differ "image unpacked on $platform for $names"
  done
done

# Failures: the same report, up to the module's name.
# A copy names itself: a program that truncated its input would not harm the repository.
cp examples/blinky.bin "$scratch/same.bin"
cp examples/blinky.bin "$scratch/同じ.bin"
# The reports that name a path carry it as UTF-8 bytes on both platforms.
failures_checked=(
  "$scratch/nowhere $scratch/out.hex - -" "$scratch $scratch/out.hex - -"
  "$scratch/same.bin $scratch/same.bin - -" "$scratch/同じ.bin $scratch/同じ.bin - -"
  "$greek_cjk $scratch/無い/out.hex - -")
for arguments in "${failures_checked[@]}"; do
  # shellcheck disable=SC2086
  for platform in linux windows; do run $platform sarnveld2hex $arguments >"$scratch/$platform.fail"; done
  cmp -s "$scratch/linux.fail" "$scratch/windows.fail" || differ_console "failure report for: $arguments" fail
  grep -q "^Exception E" "$scratch/linux.fail" || differ "no failure report for: $arguments"
done
for same in same.bin 同じ.bin; do
  cmp -s examples/blinky.bin "$scratch/$same" || differ "an input that named itself changed: $same"
done
: >"$scratch/empty.hex"
for platform in linux windows; do run $platform hex2plain "$scratch/empty.hex" >"$scratch/$platform.fail"; done
cmp -s "$scratch/linux.fail" "$scratch/windows.fail" || differ_console "hex2plain's report for an empty file" fail

echo "compared ${#inputs[@]} inputs, 2 pairs of names and $((${#failures_checked[@]} + 1)) failures:" \
  "$failures differences"
[ "$failures" -eq 0 ]
