# Sample programs for the 8-bit boards, built with sdcc: firmware/z80 for the
# Z80 (with a start-up file of its own, linked first so that it sits at the
# reset address) and firmware/mcs51 for the 8051 (sdcc's start-up code). Each
# gives an Intel HEX image and the linker's map, whose symbols orxdbg reads
# beside the image. Publishes DIORX_Z80_FIRMWARE_HEX and DIORX_8051_FIRMWARE_HEX.
find_program(DIORX_SDCC sdcc REQUIRED)
find_program(DIORX_SDASZ80 sdasz80 REQUIRED)

set(_z80_dir ${CMAKE_CURRENT_BINARY_DIR}/z80)
set(_z80_hex ${CMAKE_CURRENT_BINARY_DIR}/z80.ihx)
set(_z80_sources ${CMAKE_CURRENT_SOURCE_DIR}/z80/crt0.s ${CMAKE_CURRENT_SOURCE_DIR}/z80/main.c)
# Code from 0x100 (after the start-up code), variables from 0x8000, the stack
# below 0x10000.
add_custom_command(
    OUTPUT ${_z80_hex} ${CMAKE_CURRENT_BINARY_DIR}/z80.map
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_z80_dir}
    COMMAND ${DIORX_SDASZ80} -plosgff -o ${_z80_dir}/crt0.rel ${CMAKE_CURRENT_SOURCE_DIR}/z80/crt0.s
    COMMAND ${DIORX_SDCC} -mz80 --std-c11 -c -o ${_z80_dir}/main.rel ${CMAKE_CURRENT_SOURCE_DIR}/z80/main.c
    COMMAND ${DIORX_SDCC} -mz80 --no-std-crt0 --code-loc 0x0100 --data-loc 0x8000 -o ${_z80_hex}
            ${_z80_dir}/crt0.rel ${_z80_dir}/main.rel
    DEPENDS ${_z80_sources}
    COMMENT "Building the Z80 sample program z80.ihx"
    VERBATIM)

set(_mcs51_dir ${CMAKE_CURRENT_BINARY_DIR}/mcs51)
set(_mcs51_hex ${CMAKE_CURRENT_BINARY_DIR}/mcs51.ihx)
add_custom_command(
    OUTPUT ${_mcs51_hex} ${CMAKE_CURRENT_BINARY_DIR}/mcs51.map
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_mcs51_dir}
    COMMAND ${DIORX_SDCC} -mmcs51 --std-c11 -c -o ${_mcs51_dir}/main.rel ${CMAKE_CURRENT_SOURCE_DIR}/mcs51/main.c
    COMMAND ${DIORX_SDCC} -mmcs51 -o ${_mcs51_hex} ${_mcs51_dir}/main.rel
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/mcs51/main.c
    COMMENT "Building the 8051 sample program mcs51.ihx"
    VERBATIM)

add_custom_target(firmware_8bit ALL DEPENDS ${_z80_hex} ${_mcs51_hex})
set(DIORX_Z80_FIRMWARE_HEX ${_z80_hex} CACHE INTERNAL "The Z80 sample program")
set(DIORX_8051_FIRMWARE_HEX ${_mcs51_hex} CACHE INTERNAL "The 8051 sample program")
