// The module's only contact with the operating system.
//
// Everything that differs between the Windows builds (the 32-bit product and
// the 64-bit build) and the native Linux build (development, sanitizers,
// benchmarks) lives behind these declarations and in platform/Abi.h. No
// other file of the module tests _WIN32.
//
// Linux stand-ins, chosen so that the same code runs unchanged:
// - the host executable's entry points are found through the main program's
//   handle (dlopen of null); a host executable exports them with -rdynamic;
// - a library such as the flow library is found only when it is already
//   loaded, under the file name that FlowLibraryFileName() gives;
// - BSTRs keep their Windows layout: a 32-bit byte length in front of
//   NUL-terminated UTF-16, allocated with malloc;
// - the "ANSI code page" is ISO 8859-1: byte b is UTF-16 unit b and back;
//   units above 255 become '?'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Abi.h"  // calling conventions and what differs between the builds

namespace platform {

using ModuleHandle = void*;
using ExportAddress = void (*)();
using EventHandle = void*;

// The executable that created the process (never a library).
ModuleHandle MainProgramHandle();
// A library that is already loaded, by its file name; null when it is not.
ModuleHandle FindLoadedLibrary(const char* fileName);
// Loads a library (tests, tools and the simulated host only).
ModuleHandle LoadLibraryFile(const std::string& path);
void UnloadLibrary(ModuleHandle handle);
// An export by name; null when the module lacks it or the handle is null.
ExportAddress FindExport(ModuleHandle module, const char* name);
// The directory of the running executable (tools and the simulated host).
std::string ExecutableDirectory();
// The file name under which the host's flow library is loaded.
const char* FlowLibraryFileName();

// A manual-reset event, initially not signalled, unnamed. Null on failure.
EventHandle CreateManualEvent();
void CloseEvent(EventHandle event);
bool IsEventSignalled(EventHandle event);

// The process environment. No value when the variable is not set; an
// empty variable reads as empty or as not set, as the system keeps it.
std::optional<std::string> EnvironmentValue(const char* name);
// Sets a variable for this process, or removes it when value is null (tests
// and tools only).
bool SetEnvironmentValue(const char* name, const char* value);

uint32_t CurrentThreadId();
uint32_t TickCount();  // milliseconds, wraps at 2^32
void SleepMs(uint32_t milliseconds);

// A sleep that another thread can end early, with microsecond resolution.
// A wake ends the sleep in progress at once; a wake that comes while nobody
// sleeps ends the next sleep at once. Either way it is used up: the sleep
// after that runs its full length again. Null on failure.
using SleeperHandle = void*;
SleeperHandle CreateSleeper();
void CloseSleeper(SleeperHandle sleeper);
// Sleeps for `microseconds` or until woken; true when a wake ended it. With
// a null sleeper it only sleeps.
bool SleepMicroseconds(SleeperHandle sleeper, uint32_t microseconds);
// Any thread.
void WakeSleeper(SleeperHandle sleeper);

// BSTR: length-prefixed UTF-16. Null is a valid empty string.
using BSTR = char16_t*;
BSTR AllocBstr(const char16_t* text, std::size_t length);
void FreeBstr(BSTR text);
std::size_t BstrLength(const char16_t* text);  // in UTF-16 units; 0 for null

// 8-bit text in the system ANSI code page to and from UTF-16.
std::u16string AnsiToWide(std::string_view text);
std::string WideToAnsi(std::u16string_view text);

}  // namespace platform
