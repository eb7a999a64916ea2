/* The PowerPC sample programs in the RAM of QEMU's virtex-ml507 board, which
 * the boot mapping makes reachable from address 0. */
ENTRY(_start)
SECTIONS
{
    . = 0x1000;
    .text : { *(.text.start) *(.text .text.*) }
    .rodata : { *(.rodata .rodata.*) }
    .data : { *(.data .data.* .sdata .sdata.*) }
    .bss : { *(.bss .bss.* .sbss .sbss.* COMMON) }
    . = ALIGN(16);
    . = . + 0x4000;
    _stack_top = .;
    /DISCARD/ : { *(.comment) *(.eh_frame) *(.note*) }
}
