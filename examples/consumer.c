/* A C program that uses libsarnveld: packs an image in memory and unpacks it, then does the
   same through files, and checks that both ways give the same container and image back.
   It writes consumer-image.bin, consumer.hex and consumer-copy.bin in the current directory
   and removes them at the end. Exit code 0 when all went well. */
#include <sarnveld.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int failed(const char* what, const sarnveld_error* error) {
  fprintf(stderr, "%s failed: %s: %s\n", what, error->kind, error->message);
  return 1;
}

static int write_file(const char* path, const void* bytes, size_t size) {
  FILE* file = fopen(path, "wb");
  int ok = file != NULL && fwrite(bytes, 1, size, file) == size;
  if (file != NULL && fclose(file) != 0)
    ok = 0;
  return ok;
}

/* Whether the file holds exactly these bytes. */
static int file_holds(const char* path, const void* bytes, size_t size) {
  FILE* file = fopen(path, "rb");
  unsigned char* buffer = malloc(size + 1);
  int same = file != NULL && buffer != NULL && fread(buffer, 1, size + 1, file) == size &&
             memcmp(buffer, bytes, size) == 0;
  free(buffer);
  if (file != NULL)
    fclose(file);
  return same;
}

int main(void) {
  unsigned char image[4096];
  void* container = NULL;
  size_t container_size = 0;
  void* unpacked = NULL;
  size_t unpacked_size = 0;
  sarnveld_summary summary;
  sarnveld_error error;
  size_t i;
  int status = 1;

  /* Some code, then erased flash. */
  for (i = 0; i < sizeof image; ++i)
    image[i] = i < 1024 ? (unsigned char)(i * 7 % 61) : 0xFF;

  printf("libsarnveld %s\n", sarnveld_version());
  if (sarnveld_pack(image, sizeof image, "BLINKY-12", NULL, &container, &container_size, &error) !=
      0)
    return failed("sarnveld_pack", &error);
  if (sarnveld_unpack(container, container_size, &unpacked, &unpacked_size, &summary, &error) !=
      0) {
    sarnveld_free(container);
    return failed("sarnveld_unpack", &error);
  }
  printf("in memory: %lu bytes packed into %lu, %s by %s, codes of %d to %d bits\n",
         (unsigned long)summary.image_size, (unsigned long)container_size, summary.name_id,
         summary.manufacturer, summary.shortest_code, summary.longest_code);
  if (unpacked_size != sizeof image || memcmp(unpacked, image, sizeof image) != 0) {
    fprintf(stderr, "the image unpacked in memory differs from the one packed\n");
  } else if (!write_file("consumer-image.bin", image, sizeof image)) {
    fprintf(stderr, "cannot write consumer-image.bin\n");
  } else if (sarnveld_pack_file("consumer-image.bin", "consumer.hex", "BLINKY-12", NULL, &error) !=
             0) {
    failed("sarnveld_pack_file", &error);
  } else if (sarnveld_unpack_file("consumer.hex", "consumer-copy.bin", &summary, &error) != 0) {
    failed("sarnveld_unpack_file", &error);
  } else if (!file_holds("consumer.hex", container, container_size) ||
             !file_holds("consumer-copy.bin", image, sizeof image)) {
    fprintf(stderr, "the files differ from the buffers\n");
  } else {
    printf("in files: the same container and image\n");
    status = 0;
  }
  /* A failure comes with the kind and the message that the programs would print. */
  if (status == 0 && sarnveld_unpack_file("no-such.hex", NULL, NULL, &error) == 0) {
    fprintf(stderr, "a missing container was accepted\n");
    status = 1;
  } else if (status == 0) {
    printf("a missing container: %s: %s\n", error.kind, error.message);
  }
  remove("consumer-image.bin");
  remove("consumer.hex");
  remove("consumer-copy.bin");
  sarnveld_free(unpacked);
  sarnveld_free(container);
  return status;
}
