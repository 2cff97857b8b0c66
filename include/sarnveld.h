/* sarnveld.h: packs a memory image into a Huffman-coded container and back, as sarnveld2hex and
   hex2plain do. C99 and C++; thread-safe, reentrant, never prints or exits. See docs/api.md. */
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

/* Each returns 0, or -1 with *error filled unless error is NULL. A NULL name is the default
   ("ZRQ-705", "Sarnveld"), "-" and "" are names like any other, longer ones are cut to 15 bytes.
   An empty image may be NULL with size 0. */

/* Packs plainfile into hexfile, as sarnveld2hex does: only a whole container replaces it. */
int sarnveld_pack_file(const char* plainfile, const char* hexfile, const char* name_id,
                       const char* manufacturer, sarnveld_error* error);

/* Checks hexfile whole and writes the image to plainfile unless NULL, as hex2plain does. */
int sarnveld_unpack_file(const char* hexfile, const char* plainfile /* NULL: check only */,
                         sarnveld_summary* summary /* may be NULL */, sarnveld_error* error);

/* Packs image_size bytes (at most 2147483646) into *container, for sarnveld_free, of
 *container_size bytes; NULL and 0 on failure. */
int sarnveld_pack(const void* image, size_t image_size, const char* name_id,
                  const char* manufacturer, void** container, size_t* container_size,
                  sarnveld_error* error);

/* Decodes a container (at most 2147483646 bytes) into *image, for sarnveld_free, never NULL on
   success; NULL and 0 on failure. An image past the thread's memory (1 MiB at least) reserves
   room for up to 8 times the payload, then gives back the rest. */
int sarnveld_unpack(const void* container, size_t container_size, void** image, size_t* image_size,
                    sarnveld_summary* summary /* may be NULL */, sarnveld_error* error);

/* The same into the caller's buffer, writing nothing past image_capacity bytes (past the image's
   end it may); "EBufferTooSmall" when the image does not fit. *image_size is 0 on failure. */
int sarnveld_unpack_into(const void* container, size_t container_size, void* image,
                         size_t image_capacity, size_t* image_size,
                         sarnveld_summary* summary /* may be NULL */, sarnveld_error* error);

/* Frees what sarnveld_pack and sarnveld_unpack returned; NULL is ignored. */
void sarnveld_free(void* memory);

#ifdef __cplusplus
}
#endif

#endif /* SARNVELD_H */
