#!/usr/bin/env python3
"""Writes the seed corpus of the exports fuzzer (fuzz/corpus/).

    python3 fuzz/make_corpus.py [DIRECTORY]

Each seed is one front-end session in the input encoding that
ExportFuzzer.cpp decodes:

  configuration  R0 value (u32), flags (u8: 1 SP is the PC, 2 breakpoint
                 space 7, 4 breakpoint space 3), transfer limit of DATA and of
                 CODE (u8 index into 16, 1024, 0, 1, 3, 65536, 2^32-1, 100000),
                 run behaviour on continue and on step (u8: low 3 bits the
                 state queries until it halts, 7 never; bit 7 a stop PC
                 follows), step size (u8), reset PC (address)
  operations     an opcode byte each: below 0xE0 calls export (opcode % 60)
                 in the order of gdi/diORX.def; 0xE0 + k is harness
                 operation k (faults, processor state, done mode, poll plan,
                 an allocation failure in the next export call)

Numbers are little-endian. Counts, ids and addresses are a selector byte
that picks a typical value or says that a raw value follows (see PickCount,
PickId, PickAddress); texts (paths, designators, names) are a selector byte
that picks a dictionary entry or says that a length byte and the text follow
(TextPool::Pick). Whatever follows the end of the input reads as zero.

Seeds named here are written again on every run; the other files in the
corpus (close-in-callback-after-stop, forced-run-ends-at-first-look) are
inputs the fuzzer found and are kept as they are.
"""
import os
import struct
import sys

# Exports, by their row in the export list (0-based).
OPEN, CLOSE, FEATURES, SETCONFIG, INITIO, REGMAP, SPACEMAP = range(7)
CANCEL, ERRMSG = 8, 13
DOWNLOAD, MEMWRITE, MEMREAD, REGWRITE, REGREAD = 18, 19, 20, 21, 22
BPSET, BPCLEAR, BPCLEARALL, RESET, STEP, CONTINUE, STATUS, STOP = 27, 28, 29, 30, 31, 33, 35, 36
VERSION = 58
FIXED = [7, 9, 10, 11, 12, 14, 15, 16, 17, 23, 24, 25, 26, 32, 34] + list(range(37, 58)) + [59]

# Harness operations.
FAULT, CLEAR_FAULTS, CLEAR_FAULT, SET_STATE, ALL_FALSE, SET_PC, DONE_MODE = range(7)
ON_CONTINUE, ON_STEP, POLL_PLAN, CPU_BREAKPOINT, BREAKPOINT_SPACE, COUNTS, DOWNLOAD_ANSWERS, CANCEL_ON_STEP = range(7, 15)
# u8 n: the next export call's n-th allocation (mod 48) on the front-end's
# thread fails.
ALLOC_FAULT = 15

# Poll plan actions.
POLL_CANCEL, POLL_CLOSE, POLL_REOPEN, POLL_HALT, POLL_STATE_FAULT, POLL_STATUS = range(1, 7)

FAULT_METHODS = [
    "GetNexusWorkspace", "IClient::LoadServerModule", "INexusWorkspace::FindByDesignator",
    "INexusComponent::GetProcessorInterface", "INexusProcessor::Reset", "INexusProcessor::Pause",
    "INexusProcessor::Continue", "INexusProcessor::StepProcessor", "INexusProcessor::IsHalted",
    "INexusProcessor::IsNotStarted", "INexusProcessor::IsRunning", "INexusProcessor::GetRegisterCount",
    "INexusProcessor::GetMemorySpaceCount", "INexusProcessor::GetMemorySpace", "INexusProcessor::GetRegister",
    "INexusProcessor::GetPcRegister", "INexusProcessor::GetBreakpointSpace", "INexusProcessor::FindBreakpoint",
    "INexusProcessor::AddBreakpoint", "INexusProcessor::RemoveBreakpoint", "INexusProcessor::RemoveAllBreakpoints",
    "INexusRegister::GetName", "INexusRegister::ReadValue", "INexusRegister::WriteValue",
    "INexusMemorySpace::GetName", "INexusMemorySpace::GetTransferLimit", "INexusMemorySpace::ReadBlock",
    "INexusMemorySpace::WriteBlock", "INexusMemorySpace::BeginDownload", "INexusMemorySpace::EndDownload",
    "INexusBreakpointSpace::GetSpaceId", "INexusBreakpoint::GetAddress",
]

# Dictionary indexes of ExportFuzzer.cpp.
PATH_LX32, PATH_ARM = 0, 1

# A front-end path for each processor family, given as text in the input.
FAMILY_PATHS = {
    "51": "C:\\Tools\\qdv51.exe",
    "lx8": "C:\\Tools\\qdvlx8.exe",
    "z80": "C:\\Tools\\qdvz80.exe",
    "lx32": "C:\\Tools\\qdvlx32.exe",
    "ppc": "C:\\Tools\\qdvppc.exe",
    "mb": "C:\\Tools\\qdvmb.exe",
    "nios": "C:\\Tools\\qdvnios.exe",
    "arm": "C:\\Tools\\qdvarm.exe",
}
DESIGNATOR_CPU, DESIGNATOR_NOPROC = 0, 2
REG = {"PC": 0, "R0": 1, "R1": 2, "SP": 3}
SPACE = {"DATA": 0, "CODE": 1}


def u8(v):
    return bytes([v & 0xFF])


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def u64(v):
    return struct.pack("<Q", v & 0xFFFFFFFFFFFFFFFF)


def count(n):
    """PickCount: small counts by selector, anything else raw."""
    return u8(n) if n < 24 else u8(0xF0) + u32(n)


def ident(n):
    """PickId: a raw id (selector 0xE0 and up)."""
    return u8(0xE0) + u32(n)


def address(a):
    """PickAddress: a raw 64-bit address (selector 11)."""
    return u8(11) + u64(a)


def pc_relative(offset):
    """PickAddress relative to the PC: -1, 0, +1 or +4."""
    return u8({0: 1, -1: 2, 1: 3, 4: 4}[offset])


def run(halt_after, stop_pc=None):
    selector = 7 if halt_after is None else halt_after
    if stop_pc is None:
        return u8(selector)
    return u8(selector | 0x80) + address(stop_pc)


def configure(flags=2, data_limit=0, code_limit=1, on_continue=run(2, 0x200), on_step=run(0), step=4, reset_pc=0x100):
    return u32(0x11) + u8(flags) + u8(data_limit) + u8(code_limit) + on_continue + on_step + u8(step) + address(reset_pc)


def call(export, *args):
    return u8(export) + b"".join(args)


def harness(op, *args):
    return u8(0xE0 + op) + b"".join(args)


def text(t):
    """TextPool::Pick: the text itself (selector 7, a length byte, the bytes)."""
    data = t.encode("latin-1")
    assert len(data) <= 24
    return u8(7) + u8(len(data)) + data


def open_session(path=PATH_LX32, designator=DESIGNATOR_CPU, callback=True):
    """PATH is a dictionary index or the path's text."""
    path = text(path) if isinstance(path, str) else u8(path)
    return call(OPEN, count(3), u8(1), path, u8(4), u8(designator), u8(1 if callback else 0), u32(0), u32(0))


def map_entries(names, table):
    out = b""
    for name, gdi_id in names:
        out += u8(table[name]) + ident(gdi_id)
    return out


def standard_maps(spaces=(("DATA", 3), ("CODE", 5))):
    registers = [("R0", 10), ("R1", 11), ("SP", 12)]
    return (call(REGMAP, count(len(registers)), u8(1), map_entries(registers, REG), ident(20)) +
            call(SPACEMAP, count(len(spaces)), u8(1), map_entries(spaces, SPACE)))


def download(step, space=5, start=0x100, length=0, seed=0):
    # The block's bytes are not in the input: byte i is seed + 1 + i % 251.
    return call(DOWNLOAD, u32(0), u8(0), u8(step), count(length), u8(1), u32(0), ident(space), address(start), u8(seed))


def memory(export, space, at, n, values=b""):
    # The null-pointer selector is read unless the count needs a buffer larger
    # than the harness builds (a read's count is unsigned, a write's signed).
    fits = n <= 70000
    needs_buffer = export == MEMREAD or 0 < n < 0x80000000
    selector = u8(1) if fits or not needs_buffer else b""
    return call(export, ident(space), address(at), count(n), selector, values)


def register_write(gdi_id, value):
    # The 12 value bytes as they are; bytes 4 to 7 hold the word, most
    # significant first.
    return call(REGWRITE, ident(gdi_id), u32(0), struct.pack(">I", value), u32(0))


def breakpoint_set(at, kind_selector=0, qualifier_two=False):
    return call(BPSET, u8(1), u8(kind_selector), address(at), ident(0), u8(1 if qualifier_two else 0) +
                (b"" if qualifier_two else u32(0)))


def every_forwarding_call():
    return (call(CLOSE, u32(0)) + call(FEATURES, u8(1)) + call(SETCONFIG, u32(7)) + call(INITIO, u8(1)) +
            call(REGMAP, count(1), u8(1), u8(0), ident(1), ident(20)) + call(SPACEMAP, count(1), u8(1), u8(0), ident(1)) +
            call(CANCEL) + call(ERRMSG, u8(1)) + download(1, length=3, seed=0x61) + memory(MEMWRITE, 3, 0, 1, bytes(12)) +
            memory(MEMREAD, 3, 0, 2) + register_write(10, 1) + call(REGREAD, ident(10), u8(1)) +
            breakpoint_set(0x10) + call(BPCLEAR, address(0x10)) + call(BPCLEARALL) + call(RESET) +
            call(STEP, count(1)) + call(CONTINUE) + call(STATUS, u8(1)) + call(STOP) + call(VERSION, u8(1)))


def transfers(space_ids):
    """A download (start, a block, finish; then a stop), a write and reads
    on each memory space id in turn."""
    out = b""
    for space in space_ids:
        out += (download(0, space=space) + download(1, space=space, length=39, seed=space) + download(2, space=space) +
                download(3, space=space) + memory(MEMWRITE, space, 0x40, 2, bytes(range(24))) +
                memory(MEMREAD, space, 0x40, 4) + memory(MEMREAD, space, 0x100, 6))
    return out


def full_session(family="lx32"):
    """A front-end's session on one family, with transfers on both of the
    processor's memory spaces, DATA and CODE."""
    if family == "arm":
        # Every memory access goes to space 0, whatever id the request
        # names: CODE while the map names it 0, then DATA.
        memory_part = (standard_maps((("CODE", 0), ("DATA", 3))) + transfers((0, 3)) +
                       call(SPACEMAP, count(2), u8(1), map_entries((("DATA", 0), ("CODE", 5)), SPACE)) +
                       transfers((5, 0)))
    else:
        # CODE named 0: a request for DATA (3) sent to space 0, as on ARM,
        # would land on CODE.
        memory_part = standard_maps((("DATA", 3), ("CODE", 0))) + transfers((3, 0))
    return (open_session(FAMILY_PATHS[family]) + memory_part +
            breakpoint_set(0x200) + call(CONTINUE) + call(STATUS, u8(1)) + call(STEP, count(1)) +
            register_write(10, 0x12345678) + call(REGREAD, ident(10), u8(1)) + call(REGREAD, ident(-1), u8(1)) +
            call(BPCLEAR, address(0x200)) + call(STOP) + call(RESET) + call(FEATURES, u8(1)) +
            call(VERSION, u8(1)) + call(CLOSE, u32(0)))


FIND_BREAKPOINT = FAULT_METHODS.index("INexusProcessor::FindBreakpoint")

SEEDS = {
    # The whole session of a front-end on each family. The run stops just
    # past the breakpoint at 0x200 (on ARM just before it).
    **{"session-" + family: configure(on_continue=run(2, 0x201)) + full_session(family)
       for family in FAMILY_PATHS if family != "arm"},
    "session-arm": configure(on_continue=run(2, 0x1FF)) + full_session("arm"),
    # The status of a processor not started: after the open, after a reset,
    # and once it has stepped.
    "status-not-started": configure() + open_session() + standard_maps() + call(STATUS, u8(1)) + call(RESET) +
                          call(STATUS, u8(1)) + call(STEP, count(1)) + call(STATUS, u8(1)),
    # Cancels that belong to no run: one made while nothing waited, and one
    # left from a cancelled run; the runs after them go to their end.
    "cancel-before-run": configure(on_continue=run(2, 0x300)) + open_session() + standard_maps() + call(CANCEL) +
                         call(CONTINUE) + call(CANCEL) + call(STEP, count(1)) + call(STATUS, u8(1)),
    "cancel-left-from-a-run": configure(on_continue=run(None)) + open_session() + standard_maps() +
                              harness(POLL_PLAN, u8(2), u8(POLL_CANCEL)) + call(CONTINUE) + call(STOP) +
                              harness(POLL_PLAN, u8(0), u8(0)) + harness(ON_CONTINUE, run(1, 0x300)) +
                              call(CONTINUE) + call(STATUS, u8(1)) + call(STEP, count(1)),
    # Breakpoint lookups that fail after a stop at a breakpoint, off ARM and
    # on ARM, and in the status after one on ARM.
    "lookup-fails-after-stop": configure(on_continue=run(1, 0x201)) + open_session() + standard_maps() +
                               breakpoint_set(0x200) + harness(FAULT, u8(FIND_BREAKPOINT), u8(0)) +
                               call(CONTINUE) + call(STATUS, u8(1)) + harness(CLEAR_FAULTS) + call(STATUS, u8(1)),
    "lookup-fails-after-stop-arm": configure(on_continue=run(1, 0x200)) + open_session(FAMILY_PATHS["arm"]) +
                                   standard_maps() + breakpoint_set(0x200, qualifier_two=True) +
                                   harness(FAULT, u8(FIND_BREAKPOINT), u8(0)) + call(CONTINUE) +
                                   call(STATUS, u8(1)) + harness(CLEAR_FAULTS) + call(STATUS, u8(1)),
    "status-lookup-fails-arm": configure(on_continue=run(1, 0x200)) + open_session(FAMILY_PATHS["arm"]) +
                               standard_maps() + breakpoint_set(0x200, qualifier_two=True) + call(CONTINUE) +
                               harness(FAULT, u8(FIND_BREAKPOINT), u8(0)) + call(STATUS, u8(1)),
    # Every export with no instance open, then the fixed answers with one.
    "no-instance": configure() + every_forwarding_call() + b"".join(call(e) for e in FIXED) + open_session() +
                   b"".join(call(e) for e in FIXED),
    # A processor that never stops: the poll callback cancels, closes or
    # opens again during the wait.
    "wait-cancel": configure(on_continue=run(None)) + open_session() + standard_maps() +
                   harness(POLL_PLAN, u8(2), u8(POLL_CANCEL)) + call(CONTINUE) + call(STATUS, u8(1)) + call(STOP),
    "wait-close": configure(on_continue=run(None)) + open_session() + standard_maps() +
                  harness(POLL_PLAN, u8(1), u8(POLL_CLOSE)) + call(CONTINUE) + call(STATUS, u8(1)),
    "wait-reopen": configure(on_continue=run(None)) + open_session() + standard_maps() +
                   harness(POLL_PLAN, u8(1), u8(POLL_REOPEN)) + call(CONTINUE) + call(CANCEL) + call(CLOSE, u32(0)),
    # Host faults under the session's operations, the done mode changed.
    "faults": configure() + open_session() + standard_maps() +
              harness(FAULT, u8(FAULT_METHODS.index("INexusRegister::ReadValue")), u8(0)) +
              call(REGREAD, ident(10), u8(1)) + call(STEP, count(1)) +
              harness(FAULT, u8(FAULT_METHODS.index("INexusMemorySpace::ReadBlock")), u8(1)) +
              memory(MEMREAD, 3, 0, 3) + harness(DONE_MODE, u8(1)) + harness(CLEAR_FAULTS) +
              harness(FAULT, u8(FAULT_METHODS.index("INexusProcessor::IsRunning")), u8(2)) +
              call(CONTINUE) + call(STATUS, u8(1)) + harness(DONE_MODE, u8(2)) + call(STOP) +
              harness(CLEAR_FAULTS) + harness(ALL_FALSE, u8(1)) + call(STATUS, u8(1)),
    # A cancel that arrives while the host runs the continue's first step.
    "cancel-first-step": configure(on_continue=run(3)) + open_session() + standard_maps() +
                         harness(CANCEL_ON_STEP) + call(CONTINUE) + call(STATUS, u8(1)),
    # A write to a register the map does not name.
    "register-write-unmapped": configure() + open_session() + standard_maps() + register_write(99, 0xCAFEBABE) +
                               call(REGREAD, ident(99), u8(1)),
    # Breakpoints around the PC and stops just past them.
    "breakpoints": configure(on_continue=run(1, 0x201)) + open_session() + standard_maps() +
                   harness(CPU_BREAKPOINT, pc_relative(0)) + breakpoint_set(0x200) + call(CONTINUE) +
                   call(STATUS, u8(1)) + harness(SET_PC, pc_relative(1)) + call(STEP, count(3)) +
                   breakpoint_set(0x300, kind_selector=0xD2) + call(BPCLEARALL) + call(STATUS, u8(1)),
    # A download block longer than the module's transfer buffer, into a
    # space whose blocks are at most 1,024 units, then read back.
    "long-download": configure() + open_session() + standard_maps() + download(0) +
                     download(1, length=1100, seed=0x40) + download(1, start=0x1000, length=4096, seed=7) +
                     download(2) + memory(MEMREAD, 5, 0x100 + 1020, 10),
    # Allocation failures in the session's calls.
    "allocation-failures": configure() + open_session() + standard_maps() +
                           b"".join(harness(ALLOC_FAULT, u8(k)) + call(REGREAD, ident(11), u8(1)) +
                                    harness(ALLOC_FAULT, u8(k)) + memory(MEMREAD, 3, 0, 20) +
                                    harness(ALLOC_FAULT, u8(k)) + call(STEP, count(1)) for k in range(4)),
    # Counts at the boundaries: maps, memory and download blocks.
    "counts": configure(data_limit=5, code_limit=6) + open_session() + standard_maps() +
              call(REGMAP, count(0), u8(1), u8(0), ident(20)) + call(SPACEMAP, count(0xFFFFFFFF), u8(0), u8(0)) +
              memory(MEMREAD, 5, 0, 1025) + memory(MEMWRITE, 5, 0, 0xFFFFFFFF) +
              download(1, length=1100, seed=0x40) + memory(MEMREAD, 3, 0, 0x80000000) + call(STEP, count(0)),
}


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(directory, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
