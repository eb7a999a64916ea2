/* A front-end written in C: it declares the records and the exports that
 * take them by value the way a C program does, binds the exports it is
 * given, makes the calls and hands back what they returned. CFrontEnd.c is
 * compiled as C, so each record is passed by the C compiler's own rules for
 * the platform, not by anything the module's C++ declarations say. */
#ifndef DIORX_TESTS_MODULE_CFRONTEND_H
#define DIORX_TESTS_MODULE_CFRONTEND_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* An export's address as the loader hands it out; CFrontEnd.c gives each its
 * own type. */
typedef void (*CExportAddress)(void);

struct CFrontEndExports {
    CExportAddress memoryWrite, memoryRead, registerWrite, breakpointSet, memoryDownload;
};

/* Each builds its record (the space id little-endian, the address most
 * significant byte first) and passes it by value. Values are 12-byte GDI
 * value records. */
uint32_t CFrontEndMemoryWrite(const struct CFrontEndExports* exports, uint32_t space, uint64_t address,
                              const void* values, uint32_t count);
uint32_t CFrontEndMemoryRead(const struct CFrontEndExports* exports, uint32_t space, uint64_t address, void* values,
                             uint32_t count);
/* The word goes into value bytes 4 to 7, most significant first; bytes 0 to
 * 3 and the status hold `filler`, which the module does not read. */
uint32_t CFrontEndRegisterWrite(const struct CFrontEndExports* exports, int32_t registerId, uint32_t word,
                                uint32_t filler);
/* The result is a 24-byte breakpoint result record; the request's last 8
 * bytes, which the module does not read, hold 0x5A. */
uint32_t CFrontEndBreakpointSet(const struct CFrontEndExports* exports, void* result, uint32_t kind, uint32_t space,
                                uint64_t address, uint32_t qualifier);
uint32_t CFrontEndMemoryDownload(const struct CFrontEndExports* exports, uint32_t flag, uint32_t step,
                                 uint32_t byteCount, uint32_t space, uint64_t start, const uint8_t* data);

#ifdef __cplusplus
}
#endif

#endif
