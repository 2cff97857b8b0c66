#!/usr/bin/env bash
# Remakes the seed corpus: tiny containers that the packer writes, some of them damaged, and
# images for the round-trip modes. The first byte of each seed is the fuzz function's mode
# byte (see fuzz_decoder.cpp). Needs a built packer (cmake --workflow --preset release).
#
#   fuzz/make_corpus.sh            PACKER=build/test/sarnveld2hex fuzz/make_corpus.sh
set -euo pipefail
cd "$(dirname "$0")/.."
packer=${PACKER:-build/release/sarnveld2hex}
out=fuzz/corpus
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"

# pack PRINTF-TEXT: the container of those bytes, in $tmp/hex.
pack() {
  printf "$1" >"$tmp/in"
  "$packer" "$tmp/in" "$tmp/hex" - - >/dev/null
}
# seed MODE-BYTE NAME [FILE]: the mode byte, then FILE (default $tmp/hex).
seed() {
  { printf "$1"; cat "${3:-$tmp/hex}"; } >"$out/$2"
}
# flip FILE OFFSET MASK: flips bits of one byte in place.
flip() {
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "\\$(printf '%03o' $((byte ^ $3)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
# payload: the container's bytes after the 40-byte header, in $tmp/payload.
payload() {
  tail -c +41 "$tmp/hex" >"$tmp/payload"
}

# Whole containers (mode 0), one of them read a byte at a time (0x04).
pack 'abc';                     seed '\x00' container-abc
pack '';                        seed '\x00' container-empty
pack '\x42';                    seed '\x04' container-one-byte-trickled
pack 'abracadabra';             seed '\x00' container-abracadabra
pack '\xff\xff\xff\xff\xff\xff\xff\xff\x00\x01\xff\xff\xff\xff\xff\xff\xff\xff\x10\x20\xff\xff\xff\xff'
seed '\x1c' container-erased-runs-in-sevens

# Damaged containers (mode 0): a flipped payload bit, a cut, a stray byte.
pack 'abc'; flip "$tmp/hex" 60 4; seed '\x00' damaged-abc-flipped-bit
pack 'abc'; head -c 70 "$tmp/hex" >"$tmp/cut"; seed '\x00' damaged-abc-cut "$tmp/cut"
pack 'abc'; printf '\x00' >>"$tmp/hex"; seed '\x00' damaged-abc-trailing-byte

# Payloads given a matching header (mode 1): valid, and damaged past the checksum.
pack 'abracadabra'; payload; seed '\x01' payload-abracadabra "$tmp/payload"
pack 'abc'; payload; flip "$tmp/payload" 33 1; seed '\x01' payload-abc-entry-length "$tmp/payload"
pack 'abc'; payload; flip "$tmp/payload" 37 1; seed '\x01' payload-abc-fill-bit "$tmp/payload"
pack ''; payload; printf '\x00' >>"$tmp/payload"; seed '\x01' payload-empty-stray "$tmp/payload"

# A container long enough for the decoder's lanes: the example image.
"$packer" examples/blinky.bin "$tmp/hex" - - >/dev/null
seed '\x00' container-blinky

# Images for the round trip (mode 2: a repeat count, then the image) and for a flipped bit
# after packing (mode 3: a repeat count, two bytes that choose the bit, the image).
printf '\x00abracadabra' >"$tmp/image"; seed '\x02' image-abracadabra "$tmp/image"
printf '\xc8\x00\x01\x02\x03\x00\x00\x01\xff\xff\xff\xff\xff' >"$tmp/image"
seed '\x02' image-bytes-200-times "$tmp/image"
printf '\x00\x2a\x01hello, flash' >"$tmp/image"; seed '\x03' flip-hello "$tmp/image"
printf '\x7f\x10\x27\x00\xff\xff\xff\x12\x34\xff\xff' >"$tmp/image"
seed '\x07' flip-erased-128-times-trickled "$tmp/image"
