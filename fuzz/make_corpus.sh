#!/usr/bin/env bash
# Remakes the seed corpora of the fuzz targets. The first bytes of the decoder's and the device
# reader's seeds are their parameters (see fuzz_common.h and device_fuzzer.cpp); the round
# trip's seeds are images as they are. The decoder's seeds are tiny containers that the packer
# writes, some of them damaged, and images whose codes carry other data; the device reader's are
# the decoder's, split. Needs a built packer (cmake --workflow --preset release). Regression
# inputs (regression-*) are kept as they are.
#
#   fuzz/make_corpus.sh            PACKER=build/test/sarnveld2hex fuzz/make_corpus.sh
set -euo pipefail
cd "$(dirname "$0")/.."
packer=${PACKER:-build/release/sarnveld2hex}
out=fuzz/corpus/decoder
trip=fuzz/corpus/round_trip
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out" "$trip"

# pack PRINTF-TEXT: its container in $tmp/hex. seed MODE-BYTE NAME [FILE]: the mode byte, then
# FILE (default $tmp/hex). flip FILE OFFSET MASK: flips bits of one byte in place. payload: the
# container after its header, in $tmp/payload. repeat OCTAL-BYTE COUNT, every FROM TO (values
# ascending), fibonacci COUNT (value k F(k+1) times: codes of COUNT bits): bytes on stdout.
pack() { printf "$1" >"$tmp/in"; "$packer" "$tmp/in" "$tmp/hex" - - >/dev/null; }
seed() { { printf "$1"; cat "${3:-$tmp/hex}"; } >"$out/$2"; }
flip() {
  local byte
  byte=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "\\$(printf '%03o' $((byte ^ $3)))" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none
}
payload() { tail -c +41 "$tmp/hex" >"$tmp/payload"; }
repeat() { head -c "$2" /dev/zero | tr '\0' "\\$1"; }
every() {
  local value
  for ((value = $1; value <= $2; ++value)); do printf "\\$(printf '%03o' "$value")"; done
}
fibonacci() {
  local previous=0 current=1 value next
  for ((value = 0; value < $1; ++value)); do
    repeat "$(printf '%03o' "$value")" "$current"
    next=$((previous + current)); previous=$current; current=$next
  done
}

# --- The decoder ----------------------------------------------------------------------------

# Whole containers (mode 0).
pack 'abc';                     seed '\x00' container-abc
pack '';                        seed '\x00' container-empty
pack '\x42';                    seed '\x00' container-one-byte
pack 'abracadabra';             seed '\x00' container-abracadabra
pack '\xff\xff\xff\xff\xff\xff\xff\xff\x00\x01\xff\xff\xff\xff\xff\xff\xff\xff\x10\x20\xff\xff\xff\xff'
seed '\x00' container-erased-runs-in-sevens

# Damaged containers (mode 0): a flipped payload bit, a cut, a stray byte.
pack 'abc'; flip "$tmp/hex" 60 4; seed '\x00' damaged-abc-flipped-bit
pack 'abc'; head -c 70 "$tmp/hex" >"$tmp/cut"; seed '\x00' damaged-abc-cut "$tmp/cut"
pack 'abc'; printf '\x00' >>"$tmp/hex"; seed '\x00' damaged-abc-trailing-byte

# Payloads given a matching header (mode 1): valid, and damaged past the checksum.
pack 'abracadabra'; payload; seed '\x01' payload-abracadabra "$tmp/payload"
pack 'abc'; payload; flip "$tmp/payload" 33 1; seed '\x01' payload-abc-entry-length "$tmp/payload"
pack 'abc'; payload; flip "$tmp/payload" 37 1; seed '\x01' payload-abc-fill-bit "$tmp/payload"
pack ''; payload; printf '\x00' >>"$tmp/payload"; seed '\x01' payload-empty-stray "$tmp/payload"

# A container long enough for the decoder's lanes, the example image.
"$packer" examples/blinky.bin "$tmp/hex" - - >/dev/null
seed '\x00' container-blinky

# Data coded with another image's codes (mode 2: the chooser's length in two bytes, the raw flag
# in bit 7 of the next, the chooser, the data).
printf '\x0b\x00\x07abracadabrathe quick brown fox' >"$tmp/r"
seed '\x02' recoded-abracadabra "$tmp/r"
{ printf '\x1b\x00\x7f'; repeat 377 24; printf '\x00\x12\x34'
  repeat 377 200; printf '\x00\x12\x34\x56'; repeat 377 52; } >"$tmp/r"
seed '\x02' recoded-erased-one-bit-codes "$tmp/r"
{ printf '\xff\x00\x7f'; every 0 254; every 0 255; } >"$tmp/r"
seed '\x02' recoded-noise-eight-bit-codes "$tmp/r"
{ printf '\xda\x03\x7f'; fibonacci 14; printf '\x00\x01\x02\x00\x01'; } >"$tmp/r"
seed '\x02' recoded-rare-fourteen-bit-codes-in-a-row "$tmp/r"
printf '\x0b\x00\x83abracadabrasome raw bits!' >"$tmp/r"
seed '\x02' recoded-raw-bits "$tmp/r"
printf '\x05\x00\x32hellohello world' >"$tmp/r"
seed '\x02' recoded-hello "$tmp/r"

# A flipped bit after packing (mode 3: two bytes that choose the bit, the image).
printf '\x2a\x01hello, flash' >"$tmp/image"; seed '\x03' flip-hello "$tmp/image"
{ printf '\x10\x27'; repeat 377 40; printf '\x00\x12\x34'; repeat 377 40; } >"$tmp/image"
seed '\x03' flip-erased "$tmp/image"

# --- The device reader ------------------------------------------------------------------------

# The decoder's seeds, each fed a byte at a time (one piece size, 1; the state copied after the
# third piece), and in pieces of 7, 0 and 255 bytes (copied after the seventh).
device=fuzz/corpus/device
mkdir -p "$device"
for seed in "$out"/*; do
  name=$(basename "$seed")
  { printf '\x31\x01'; cat "$seed"; } >"$device/bytewise-$name"
  { printf '\x73\x07\x00\xff'; cat "$seed"; } >"$device/pieces-$name"
done

# --- The round trip ---------------------------------------------------------------------------

tripseed() { cat >"$trip/$1"; }  # tripseed NAME: the image on standard input
printf '' | tripseed empty
printf 'A' | tripseed one-byte
printf 'abracadabra' | tripseed abracadabra
every 0 255 | tripseed every-byte-value
{ repeat 377 40; printf '\x00\x01\x02\x03 ldr r0, [pc]'; repeat 377 17; } | tripseed erased-flash
fibonacci 14 | tripseed fourteen-bit-codes
printf '\xff\xff\xff\x00' | tripseed one-bit-codes
