/* What runs before main on the board, and the semihosting calls that report to the host:
 * the vector table, the copy of .data, the zeroed .bss, and the exit with a status. */
#include <stdint.h>
#include <string.h>

#include "target.h"

extern uint32_t __stack_top, __data_start, __data_end, __data_load, __bss_start, __bss_end;
int main(void);

/* Semihosting: the debugger (here qemu) carries out operation `op` on the host. */
static int semihost(int op, const void* argument) {
  register int r0 __asm__("r0") = op;
  register const void* r1 __asm__("r1") = argument;
  __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
  return r0;
}

void target_print(const char* text) {
  semihost(0x04, text); /* SYS_WRITE0 */
}

void target_exit(int passed) {
  /* SYS_EXIT: an application exit ends qemu with status 0, any other reason with 1. */
  semihost(0x18, (const void*)(uintptr_t)(passed ? 0x20026 : 0x20024));
  for (;;) {
  }
}

void reset(void) {
  memcpy(&__data_start, &__data_load, (size_t)((char*)&__data_end - (char*)&__data_start));
  memset(&__bss_start, 0, (size_t)((char*)&__bss_end - (char*)&__bss_start));
  target_exit(main() == 0);
}

static void fault(void) {
  target_print("fault: the firmware took an exception\n");
  target_exit(0);
}

/* The initial stack pointer, then the handlers from reset to the usage fault. */
struct vector_table {
  uint32_t* stack;
  void (*handlers[6])(void);
};
__attribute__((section(".vectors"), used)) static const struct vector_table vectors = {
    &__stack_top, {reset, fault, fault, fault, fault, fault}};

/* SysTick, free-running from the processor's clock: under qemu's -icount a tick is a fixed
 * number of instructions, which the firmware measures. */
#define SYST_CSR (*(volatile uint32_t*)0xE000E010u)
#define SYST_RVR (*(volatile uint32_t*)0xE000E014u)
#define SYST_CVR (*(volatile uint32_t*)0xE000E018u)

void target_start_ticks(void) {
  SYST_RVR = 0xFFFFFFu;
  SYST_CVR = 0;
  SYST_CSR = 5u; /* enabled, processor clock, no interrupt */
}

uint32_t target_ticks(void) {
  return 0xFFFFFFu - SYST_CVR;
}
