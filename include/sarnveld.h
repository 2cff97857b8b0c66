/* sarnveld.h: packs a raw memory image into a labelled, Huffman-coded container and unpacks
   it again, as the programs sarnveld2hex and hex2plain do. C99 and C++; every function is
   thread-safe and reentrant, and none prints or exits. docs/api.md has an example. */
#ifndef SARNVELD_H
#define SARNVELD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What a container holds, once all of it has been checked. */
typedef struct sarnveld_summary {
  char name_id[16]; /* as stored: up to 15 bytes, zero-terminated */
  char manufacturer[16];
  uint32_t payload_size;
  uint32_t checksum;
  uint64_t image_size;
  int coded_byte_values;
  int shortest_code; /* 0 for an empty image */
  int longest_code;
} sarnveld_summary;

/* Why a call failed: what the programs print, e.g. "EFOpenError" and "Cannot open file x". */
typedef struct sarnveld_error {
  char kind[32];      /* "" on success */
  char message[1024]; /* without the closing full stop; cut to fit */
} sarnveld_error;

/* The library's version, such as "0.1.0". */
const char* sarnveld_version(void);

/* Each returns 0 on success and -1 on failure, with *error filled when error is not NULL.
   A NULL name selects the default ("ZRQ-705", "Sarnveld"); "-" and "" are names like any other
   (the defaults for "-" belong to the command line); longer names are cut to 15 bytes.
   An empty image may be given as NULL with size 0. */

/* Packs the file plainfile into the container hexfile, as sarnveld2hex does: the old hexfile
   is replaced only by a complete container. */
int sarnveld_pack_file(const char* plainfile, const char* hexfile, const char* name_id,
                       const char* manufacturer, sarnveld_error* error);

/* Checks the container hexfile from end to end and, when plainfile is not NULL, writes the
   image there, as hex2plain does. *summary is filled on success. */
int sarnveld_unpack_file(const char* hexfile, const char* plainfile /* NULL: check only */,
                         sarnveld_summary* summary /* may be NULL */, sarnveld_error* error);

/* Packs image_size bytes (at most 2147483646) into a container in memory: *container gets a
   buffer for sarnveld_free, *container_size its length. On failure they are NULL and 0. */
int sarnveld_pack(const void* image, size_t image_size, const char* name_id,
                  const char* manufacturer, void** container, size_t* container_size,
                  sarnveld_error* error);

/* Checks a container in memory (at most 2147483646 bytes) and decodes its image into a buffer
   for sarnveld_free, never NULL on success; on failure NULL, and *image_size 0. Room for the
   most the payload can decode to (8 times its size) is reserved, and what is left given back. */
int sarnveld_unpack(const void* container, size_t container_size, void** image, size_t* image_size,
                    sarnveld_summary* summary /* may be NULL */, sarnveld_error* error);

/* The same into the caller's buffer: writes nothing past image_capacity bytes (past the image's
   own end it may), and fails with "EBufferTooSmall" when the image does not fit. *image_size
   gets the image's size, 0 on failure. */
int sarnveld_unpack_into(const void* container, size_t container_size, void* image,
                         size_t image_capacity, size_t* image_size,
                         sarnveld_summary* summary /* may be NULL */, sarnveld_error* error);

/* Frees what sarnveld_pack and sarnveld_unpack returned; NULL is ignored. */
void sarnveld_free(void* memory);

#ifdef __cplusplus
}
#endif

#endif /* SARNVELD_H */
