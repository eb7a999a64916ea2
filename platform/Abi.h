// Where the builds' binary interfaces differ, and how. Nothing else in the
// module decides any of this.
//
// Builds: the product is the 32-bit Windows DLL (i686). The 64-bit Windows
// DLL (x86_64) serves a 64-bit host and its 64-bit front-ends, and runs
// every Windows suite where 32-bit programs cannot run; the native Linux
// build serves development, sanitizers and benchmarks.
//
// - Calling conventions. The exports use the C convention (DI_CDECL), so
//   their names stay undecorated; host entry points and host object methods
//   use stdcall (DI_STDCALL). Both matter only on i686: x86_64 Windows has
//   one convention (the compiler ignores both keywords, and a 64-bit host is
//   built with the same one), and Linux has one as well.
// - Records holding pointers. The text pointers in the map entry, the exit
//   status and the features record are ProductPointerBytes wide in the
//   product; the other builds widen them to their pointer size and move every
//   later field by PointerGrowth (gdi/GdiRecords.h pins both layouts).
// - Records passed by value (the address, value, breakpoint and download
//   format records) are declared by value, and each build takes them as its
//   platform's C compiler passes them. On i686 a C caller copies the record
//   onto the stack, where it takes whole 4-byte argument slots, as many as it
//   has 4-byte words, with the next argument straight after. Microsoft x64
//   passes a record larger than 8 bytes (all of these) as a pointer to a copy
//   the caller made; the x86-64 System V convention passes a record of up to
//   16 bytes in two registers and a larger one in memory on the stack. The
//   records are plain bytes with no alignment of their own, so a front-end's
//   packed C struct of the same layout, with integer fields, is passed the
//   same way.
// - The export definition is one list (gdi/diORX.def) for both Windows
//   builds: the same names, the same ordinals, export directory name "diORX";
//   the toolchain file names the dlltool that turns it into the export table.
#pragma once

#include <cstddef>

#if defined(_WIN32)
#define DI_STDCALL __stdcall
#define DI_CDECL __cdecl
#define DI_EXPORT __declspec(dllexport)
#else
#define DI_STDCALL
#define DI_CDECL
#define DI_EXPORT __attribute__((visibility("default")))
#endif

// 1 in the product build (32-bit Windows), whose layouts are pinned by
// number; 0 elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define DI_PRODUCT_ABI 1
#else
#define DI_PRODUCT_ABI 0
#endif

namespace platform {

constexpr std::size_t ProductPointerBytes = 4;
// How much wider a pointer field is here than in the product: 0 in the
// product, 4 in the 64-bit builds.
constexpr std::size_t PointerGrowth = sizeof(void*) - ProductPointerBytes;

#if DI_PRODUCT_ABI
static_assert(PointerGrowth == 0, "the product is a 32-bit build");
#endif

// True for a function type with the C calling convention. In the product a
// stdcall export would be decorated (_Name@N) and lose its name.
template <class Function>
struct IsCCallFunction {
    static constexpr bool value = false;
};
template <class Result, class... Args>
struct IsCCallFunction<Result DI_CDECL(Args...)> {
    static constexpr bool value = true;
};

}  // namespace platform
