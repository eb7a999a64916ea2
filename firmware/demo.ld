/* Memory map of the simulated Cortex-M board: code in FLASH at 0, data and
 * stack in RAM at 0x20000000. The sizes match the memory the simulated core
 * maps, so anything that links here can run there. */
ENTRY(Reset_Handler)

MEMORY
{
    FLASH (rx)  : ORIGIN = 0x00000000, LENGTH = 256K
    RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 64K
}

/* The stack grows down from the top of RAM. */
_estack = ORIGIN(RAM) + LENGTH(RAM);

SECTIONS
{
    /* The core fetches the initial SP and the reset vector from the first
     * two words of FLASH, so the vector table must come first. */
    .isr_vector :
    {
        KEEP(*(.isr_vector))
    } > FLASH

    .text :
    {
        *(.text .text.*)
        *(.rodata .rodata.*)
        . = ALIGN(4);
    } > FLASH

    /* Initialised data lives in RAM but its initial image is stored in FLASH
     * right after the code; the reset handler copies it over. */
    _sidata = LOADADDR(.data);
    .data : ALIGN(4)
    {
        _sdata = .;
        *(.data .data.*)
        . = ALIGN(4);
        _edata = .;
    } > RAM AT> FLASH

    .bss (NOLOAD) : ALIGN(4)
    {
        _sbss = .;
        *(.bss .bss.*)
        *(COMMON)
        . = ALIGN(4);
        _ebss = .;
    } > RAM

    /DISCARD/ : { *(.ARM.exidx*) *(.ARM.extab*) }
}
