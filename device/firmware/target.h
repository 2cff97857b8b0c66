/* The board's services for the test firmware: text to the host, the end of the run, and a
 * count of the instructions executed. */
#ifndef TARGET_H
#define TARGET_H

#include <stdint.h>

void target_print(const char* text);
void target_exit(int passed);

/* Ticks counted up from target_start_ticks, modulo 2^24: measure spans shorter than that. */
void target_start_ticks(void);
uint32_t target_ticks(void);

#endif
