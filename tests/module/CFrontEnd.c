/* The records and the exports taking them by value, as a C front-end
 * declares them: packed structs with the GDI layout, C calling convention. */
#include "tests/module/CFrontEnd.h"

#include <string.h>

#if !defined(__STDC_VERSION__) || defined(__cplusplus)
#error "CFrontEnd.c is a C program: compile it as C"
#endif

#if defined(_WIN32)
#define FE_CDECL __cdecl
#else
#define FE_CDECL
#endif

#pragma pack(push, 1)
struct FeAddress {
    uint32_t space;
    uint8_t address[8]; /* most significant byte first */
};
struct FeValue {
    uint8_t bytes[8]; /* most significant byte first */
    uint32_t status;
};
struct FeBreakpoint {
    uint32_t kind;
    struct FeAddress location;
    uint32_t qualifier;
    uint8_t notRead[8];
};
struct FeDownloadFormat {
    uint32_t format;
    uint32_t byteCount;
    struct FeAddress start;
};
#pragma pack(pop)

_Static_assert(sizeof(struct FeAddress) == 12, "GdiAddress is 12 bytes");
_Static_assert(sizeof(struct FeValue) == 12, "GdiValue is 12 bytes");
_Static_assert(sizeof(struct FeBreakpoint) == 28, "GdiBreakpoint is 28 bytes");
_Static_assert(sizeof(struct FeDownloadFormat) == 20, "GdiDownloadFormat is 20 bytes");

typedef uint32_t(FE_CDECL* MemoryWriteFn)(struct FeAddress address, const struct FeValue* values, uint32_t count);
typedef uint32_t(FE_CDECL* MemoryReadFn)(struct FeAddress address, struct FeValue* values, uint32_t count);
typedef uint32_t(FE_CDECL* RegisterWriteFn)(int32_t registerId, struct FeValue value);
typedef uint32_t(FE_CDECL* BreakpointSetFn)(void* result, struct FeBreakpoint request);
typedef uint32_t(FE_CDECL* MemoryDownloadFn)(uint32_t flag, uint32_t step, struct FeDownloadFormat format,
                                             const uint8_t* data);

static struct FeAddress MakeAddress(uint32_t space, uint64_t address) {
    struct FeAddress a;
    int i;
    a.space = space;
    for (i = 0; i < 8; ++i) a.address[i] = (uint8_t)(address >> (56 - 8 * i));
    return a;
}

uint32_t CFrontEndMemoryWrite(const struct CFrontEndExports* exports, uint32_t space, uint64_t address,
                              const void* values, uint32_t count) {
    const MemoryWriteFn write = (MemoryWriteFn)exports->memoryWrite;
    return write(MakeAddress(space, address), (const struct FeValue*)values, count);
}

uint32_t CFrontEndMemoryRead(const struct CFrontEndExports* exports, uint32_t space, uint64_t address, void* values,
                             uint32_t count) {
    const MemoryReadFn read = (MemoryReadFn)exports->memoryRead;
    return read(MakeAddress(space, address), (struct FeValue*)values, count);
}

uint32_t CFrontEndRegisterWrite(const struct CFrontEndExports* exports, int32_t registerId, uint32_t word,
                                uint32_t filler) {
    const RegisterWriteFn registerWrite = (RegisterWriteFn)exports->registerWrite;
    struct FeValue value;
    int i;
    for (i = 0; i < 4; ++i) value.bytes[i] = (uint8_t)(filler >> (24 - 8 * i));
    for (i = 0; i < 4; ++i) value.bytes[4 + i] = (uint8_t)(word >> (24 - 8 * i));
    value.status = filler;
    return registerWrite(registerId, value);
}

uint32_t CFrontEndBreakpointSet(const struct CFrontEndExports* exports, void* result, uint32_t kind, uint32_t space,
                                uint64_t address, uint32_t qualifier) {
    const BreakpointSetFn breakpointSet = (BreakpointSetFn)exports->breakpointSet;
    struct FeBreakpoint request;
    request.kind = kind;
    request.location = MakeAddress(space, address);
    request.qualifier = qualifier;
    memset(request.notRead, 0x5A, sizeof request.notRead);
    return breakpointSet(result, request);
}

uint32_t CFrontEndMemoryDownload(const struct CFrontEndExports* exports, uint32_t flag, uint32_t step,
                                 uint32_t byteCount, uint32_t space, uint64_t start, const uint8_t* data) {
    const MemoryDownloadFn download = (MemoryDownloadFn)exports->memoryDownload;
    struct FeDownloadFormat format;
    format.format = 0xDEADBEEF; /* not read */
    format.byteCount = byteCount;
    format.start = MakeAddress(space, start);
    return download(flag, step, format, data);
}
