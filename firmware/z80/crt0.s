; Start-up code for the sample Z80 program: a bare Z80 with RAM from 0 to
; 0xffff and nothing else. Linked first, so that it sits at the reset
; address 0; sdcc's own start-up code expects a host to call back into.
;
; It disables interrupts, puts the stack at the top of memory, copies the
; initial values of initialised variables into place, clears the others
; and calls main. Should main return, the CPU halts.
	.module	crt0
	.globl	_main

	.area	_HEADER (ABS)
	.org	0
	di
	ld	sp, #0x0000		; the first push goes to 0xfffe
	call	gsinit
	call	_main
halted:
	halt
	jr	halted

	; The order of the areas in memory: code first, data after it.
	.area	_HOME
	.area	_CODE
	.area	_INITIALIZER
	.area	_GSINIT
	.area	_GSFINAL
	.area	_DATA
	.area	_INITIALIZED
	.area	_BSEG
	.area	_BSS
	.area	_HEAP

	.area	_GSINIT
gsinit::
	ld	bc, #l__DATA		; zero-initialised variables
	ld	a, b
	or	a, c
	jr	z, 1$
	ld	hl, #s__DATA
	ld	(hl), #0
	dec	bc
	ld	a, b
	or	a, c
	jr	z, 1$
	ld	d, h
	ld	e, l
	inc	de
	ldir
1$:
	ld	bc, #l__INITIALIZER	; initialised ones, from their copy in code
	ld	a, b
	or	a, c
	jr	z, 2$
	ld	de, #s__INITIALIZED
	ld	hl, #s__INITIALIZER
	ldir
2$:
	.area	_GSFINAL
	ret
