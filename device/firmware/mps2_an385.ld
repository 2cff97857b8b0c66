/* The MPS2-AN385 board as qemu-system-arm emulates it: 4 MiB of code memory at 0 (the vector
 * table first), 4 MiB of data memory at 0x20000000, the stack at its top. */
MEMORY
{
  CODE (rx) : ORIGIN = 0x00000000, LENGTH = 4M
  RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 4M
}

ENTRY(reset)

SECTIONS
{
  .text :
  {
    KEEP(*(.vectors))
    *(.text .text.*)
    *(.rodata .rodata.*)
  } > CODE

  .ARM.exidx : { *(.ARM.exidx*) } > CODE

  .data :
  {
    __data_start = .;
    *(.data .data.*)
    . = ALIGN(4);
    __data_end = .;
  } > RAM AT > CODE
  __data_load = LOADADDR(.data);

  .bss (NOLOAD) :
  {
    __bss_start = .;
    *(.bss .bss.*)
    *(COMMON)
    . = ALIGN(4);
    __bss_end = .;
  } > RAM

  end = __bss_end; /* newlib's heap, for its formatting, grows from here towards the stack */
  __stack_top = ORIGIN(RAM) + LENGTH(RAM);
}
