/* A container reader for small equipment: programmers, flashers, bootloaders. It takes the
 * container in pieces of any size, checks every rule of the format as the bytes come, and
 * hands the image to a sink in order. No heap, no library beyond memset, and all
 * its state in one caller-owned struct of plain data, which may be copied between calls to
 * resume later. C99 and C++; docs/device.md shows how to use it. */
#ifndef SARNVELD_DECODE_H
#define SARNVELD_DECODE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sarnveld_header {
  uint8_t name_id[16];
  uint8_t manufacturer[16];
  uint32_t payload_size;
  uint32_t checksum;
} sarnveld_header;

/* What the calls return. */
/* clang-format off */
enum {
  SARNVELD_DECODE_OK = 0,            /* feed: all bytes taken; finish: complete and valid */
  SARNVELD_DECODE_BAD_HEADER = -1,   /* a name field breaks its rule */
  SARNVELD_DECODE_BAD_TABLE = -2,    /* start bit, entries, clashes, incomplete or missing codes */
  SARNVELD_DECODE_BAD_STREAM = -3,   /* data, end marker, fill, a stream that ends before or after the payload, or an image longer than 2147483646 bytes */
  SARNVELD_DECODE_BAD_SIZE = -4,     /* the container holds more or fewer bytes than PayloadSize says */
  SARNVELD_DECODE_BAD_CHECKSUM = -5,
  SARNVELD_DECODE_STOPPED = -6       /* the sink returned nonzero */
};
/* clang-format on */

/* Receives the image in order, in pieces of at least one byte; nonzero stops decoding. */
typedef int (*sarnveld_sink)(void* user, const uint8_t* bytes, size_t size);

/* Image bytes gathered before each call of the sink. */
#define SARNVELD_DECODE_OUT_BYTES 64

/* Plain data: nothing in it points into itself. The fields are the decoder's own; only sink
 * and user may be set again after a saved copy is restored (docs/device.md). */
typedef struct sarnveld_decoder {
  /* The code tree as it is read: node n's children for bit 0 and bit 1. A child is 0 while
   * missing (the root, node 0, is nobody's child), an inner node's number, or a leaf:
   * SARNVELD_DECODE_LEAF plus the symbol, 256 being the end marker. A complete code of 257
   * symbols has 256 inner nodes. */
  uint16_t tree[256][2];
  sarnveld_header header;
  sarnveld_sink sink;
  void* user;
  uint32_t payload_left; /* payload bytes still due, once the header came */
  uint32_t image_left;   /* image bytes a container may still hold: 2147483646 at first */
  uint32_t sum;          /* of the payload bytes so far */
  uint16_t node;         /* where the walk down the tree stands */
  uint16_t symbol;       /* whose code entry is read */
  uint16_t present;      /* byte values in the presence map */
  uint16_t inner;        /* inner nodes in the tree */
  uint16_t open;         /* missing children of inner nodes */
  uint8_t header_bytes;  /* 0 to 40 */
  uint8_t phase;         /* the section of the stream being read */
  uint8_t left;          /* bits still due in the current field */
  uint8_t out_count;     /* image bytes in out */
  int8_t status;         /* the first error, sticky */
  union {
    uint8_t map[32]; /* the presence map, until the byte values' entries are read */
    uint8_t out[SARNVELD_DECODE_OUT_BYTES]; /* image bytes not yet given to the sink */
  } buffer;
} sarnveld_decoder;

#define SARNVELD_DECODE_LEAF 0x8000u

void sarnveld_decoder_init(sarnveld_decoder* decoder, sarnveld_sink sink /* NULL: verify only */,
                           void* user);
int sarnveld_decoder_feed(sarnveld_decoder* decoder, const uint8_t* bytes, size_t size);
int sarnveld_decoder_finish(sarnveld_decoder* decoder); /* after the container's last byte */
/* NULL until 40 bytes came */
const sarnveld_header* sarnveld_decoder_header(const sarnveld_decoder* decoder);

#ifdef __cplusplus
}
#endif

#endif
