/* The device reader on the board. Each container that the packer made at build time is decoded
 * verify-only and then into RAM, in a bootloader's 4 KiB pieces, and checked against its image;
 * a damaged and a cut copy must be refused. Reports over semihosting, with the instructions
 * each image byte took; returns the number of failures. */
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "sarnveld_decode.h"
#include "target.h"

#define EMBEDDED(name)                                                         \
  extern const uint8_t name##_image[], name##_image_end[], name##_container[], \
      name##_container_end[]
EMBEDDED(example);
EMBEDDED(deep);
EMBEDDED(one_value);
EMBEDDED(empty);
EMBEDDED(flash);

struct test_case {
  const char* name;
  const uint8_t *image, *image_end, *container, *container_end;
};
#define CASE(name) \
  { #name, name##_image, name##_image_end, name##_container, name##_container_end }
static const struct test_case cases[] = {CASE(example), CASE(deep), CASE(one_value), CASE(empty),
                                         CASE(flash)};

#define PIECE 4096u
static uint8_t ram[1u << 20]; /* where the image is decoded to */
static uint8_t damaged[8192];
/* Static, so that the stack holds only what the reader's calls take. */
static sarnveld_decoder decoder;

struct ram_sink {
  uint8_t* at;
  uint8_t* end;
};

static int to_ram(void* user, const uint8_t* bytes, size_t size) {
  struct ram_sink* sink = (struct ram_sink*)user;
  if (size > (size_t)(sink->end - sink->at))
    return 1;
  memcpy(sink->at, bytes, size);
  sink->at += size;
  return 0;
}

static int decode(const uint8_t* container, size_t size, size_t piece, sarnveld_sink sink,
                  void* user) {
  size_t at;
  sarnveld_decoder_init(&decoder, sink, user);
  for (at = 0; at < size; at += piece) {
    const int status =
        sarnveld_decoder_feed(&decoder, container + at, size - at < piece ? size - at : piece);
    if (status != SARNVELD_DECODE_OK)
      return status;
  }
  return sarnveld_decoder_finish(&decoder);
}

/* A line for the host, formatted by newlib. */
static void report(const char* format, ...) {
  char line[200];
  va_list arguments;
  va_start(arguments, format);
  vsnprintf(line, sizeof line, format, arguments);
  va_end(arguments);
  target_print(line);
}

/* --- Instructions -------------------------------------------------------------------------- */

/* Two instructions a round. */
static void spin(uint32_t rounds) {
  __asm__ volatile("1: subs %0, %0, #1\n\tbne 1b" : "+r"(rounds));
}

/* Instructions per tick, in millionths. */
static uint64_t instructions_per_tick;

static void calibrate(void) {
  const uint32_t rounds = 1000000;
  const uint32_t start = target_ticks();
  uint32_t ticks;
  spin(rounds);
  ticks = (target_ticks() - start) & 0xFFFFFFu;
  instructions_per_tick = (uint64_t)2 * rounds * 1000000u / (ticks != 0 ? ticks : 1);
}

/* Instructions per image byte, in tenths, for `ticks` spent on `bytes`. */
static uint32_t tenths_per_byte(uint32_t ticks, size_t bytes) {
  return (uint32_t)((uint64_t)ticks * instructions_per_tick / 100000u / (bytes != 0 ? bytes : 1));
}

/* --- The cases ----------------------------------------------------------------------------- */

static int run_case(const struct test_case* c) {
  const size_t image_size = (size_t)(c->image_end - c->image);
  const size_t container_size = (size_t)(c->container_end - c->container);
  struct ram_sink sink;
  uint32_t start, verify_ticks, decode_ticks;
  int verified, decoded, passed;

  start = target_ticks();
  verified = decode(c->container, container_size, PIECE, NULL, NULL);
  verify_ticks = (target_ticks() - start) & 0xFFFFFFu;
  sink.at = ram;
  sink.end = ram + sizeof ram;
  start = target_ticks();
  decoded = decode(c->container, container_size, PIECE, to_ram, &sink);
  decode_ticks = (target_ticks() - start) & 0xFFFFFFu;
  passed = verified == SARNVELD_DECODE_OK && decoded == SARNVELD_DECODE_OK &&
           (size_t)(sink.at - ram) == image_size && memcmp(ram, c->image, image_size) == 0;

  report("%s: %u bytes from %u", c->name, (unsigned)image_size, (unsigned)container_size);
  if (image_size > 0) {
    const uint32_t verify = tenths_per_byte(verify_ticks, image_size);
    const uint32_t into_ram = tenths_per_byte(decode_ticks, image_size);
    report(", instructions per byte: verify %u.%u, into RAM %u.%u", (unsigned)(verify / 10),
           (unsigned)(verify % 10), (unsigned)(into_ram / 10), (unsigned)(into_ram % 10));
  }
  if (passed)
    report(": ok\n");
  else
    report(": FAILED, statuses %d and %d\n", verified, decoded);
  return passed;
}

/* The example's container with a bit flipped in its payload, fed a byte at a time, and cut
 * short by a byte: both refused, the cut for its size. */
static int run_damaged(void) {
  const size_t size = (size_t)(example_container_end - example_container);
  int flipped, cut, passed;
  if (size > sizeof damaged) {
    report("damaged example: no room for its copy: FAILED\n");
    return 0;
  }
  memcpy(damaged, example_container, size);
  damaged[40 + (size - 40) / 2] ^= 0x10;
  flipped = decode(damaged, size, 1, NULL, NULL);
  cut = decode(example_container, size - 1, PIECE, NULL, NULL);
  passed = flipped != SARNVELD_DECODE_OK && cut == SARNVELD_DECODE_BAD_SIZE;
  report("damaged example: a flipped bit gives %d, a cut %d: %s\n", flipped, cut,
         passed ? "ok" : "FAILED");
  return passed;
}

int main(void) {
  size_t i;
  uint32_t failures = 0;
  target_start_ticks();
  calibrate();
  report("sizeof(sarnveld_decoder) = %u, instructions per tick = %u\n",
         (unsigned)sizeof(sarnveld_decoder), (unsigned)(instructions_per_tick / 1000000u));
  for (i = 0; i < sizeof cases / sizeof cases[0]; ++i)
    failures += !run_case(&cases[i]);
  failures += !run_damaged();
  if (sizeof(sarnveld_decoder) > 1536) {
    report("the state is over its budget of 1536 bytes\n");
    ++failures;
  }
  if (failures == 0)
    report("device firmware: all passed\n");
  else
    report("device firmware: failures: %u\n", (unsigned)failures);
  return (int)failures;
}
