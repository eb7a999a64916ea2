#!/usr/bin/env python3
# Stands in for QEMU: serves a gdb stub on the socket QEMU would have been
# told to make (-chardev socket,...,path=P) and answers each single step with
# the next signal of STEP_SIGNALS (hex, comma-separated, the last repeated),
# for the tests of what the core makes of a step that QEMU ends otherwise
# than with a trap.
#
# It also holds a Cortex-M's registers (r0-r15 and xpsr, number 25) and keeps
# of a write what QEMU's mps2-an385 keeps: SP's low two bits and the PC's bit
# 0 clear, xpsr's exception number unchanged. DIORX_FAKE_REGISTERS says how it
# serves them:
#   described  a target description; p/P, and g with the 17 registers packed
#              in number order (68 bytes), as QEMU does
#   long       a target description and p/P, but g laid out as without one
#              (every number up to 25 in its place, 104 bytes)
#   gfails     a target description and p/P; g answers an error
#   rejectP    as described, but every P fails
#   plain      (the default) no description: g (64 numbers) and G only
# system_reset gives every register another value.
# DIORX_FAKE_SSTEP=1 offers QEMU's step setting (qqemu.sstepbits,
# Qqemu.sstep): a step with interrupts let in (NOIRQ clear) "takes one" and
# ends at 0x1000, one with them masked moves the PC on by 2.
# DIORX_FAKE_START_DELAY (seconds) holds the listening socket back that long,
# as a QEMU that a loaded machine starts slowly does; DIORX_FAKE_START_SPIN
# (seconds) does the same while burning processor time, as a QEMU that is
# busy but never gets its stub up.
import os
import time
import socket
import sys

STEP_SIGNALS = os.environ.get("DIORX_FAKE_STEP_SIGNALS", "05").split(",")
REGISTERS = os.environ.get("DIORX_FAKE_REGISTERS", "plain")
SSTEP = os.environ.get("DIORX_FAKE_SSTEP") == "1"
DESCRIBED = list(range(16)) + [25]
SP, PC, XPSR = 13, 15, 25


def initial_registers(base):
    return {n: (base + 0x0101 * n) & 0xFFFFFFFF for n in range(64)}


def le(value):
    return value.to_bytes(4, "little").hex()


def store(regs, number, value):
    if number == SP:
        value &= ~3
    elif number == PC:
        value &= ~1
    elif number == XPSR:
        value = (value & ~0x1FF) | (regs[XPSR] & 0x1FF)
    regs[number] = value & 0xFFFFFFFF


def socket_path(argv):
    for arg in argv:
        for part in arg.split(","):
            if part.startswith("path="):
                return part[len("path="):]
    sys.exit("no socket path")


def frame(payload):
    return ("$%s#%02x" % (payload, sum(payload.encode()) & 0xFF)).encode()


def answer(packet, state):
    if packet == "QStartNoAckMode":
        state["ack"] = False
        return "OK"
    described = REGISTERS != "plain"
    regs = state["regs"]
    if packet.startswith("qSupported"):
        return "PacketSize=1000" + (";qXfer:features:read+" if described else "")
    if packet.startswith("qXfer:features:read:target.xml:") and described:
        return "l<?xml version=\"1.0\"?><target><architecture>arm</architecture></target>"
    if packet == "?":
        return "S05"
    if SSTEP and packet == "qqemu.sstepbits":
        return "ENABLE=1,NOIRQ=2,NOTIMER=4"
    if SSTEP and packet.startswith("Qqemu.sstep="):
        state["sstep"] = int(packet[len("Qqemu.sstep="):], 16)
        return "OK"
    if packet == "s" and SSTEP:
        regs[PC] = 0x1000 if state["sstep"] & 2 == 0 else regs[PC] + 2
    if packet == "s":
        signal = STEP_SIGNALS[min(state["steps"], len(STEP_SIGNALS) - 1)]
        state["steps"] += 1
        return "S" + signal
    if packet == "g":
        if REGISTERS == "gfails":
            return "E14"
        if REGISTERS == "long":
            return "".join(le(regs[n]) for n in range(26))
        numbers = DESCRIBED if described else range(64)
        return "".join(le(regs[n]) for n in numbers)
    if packet.startswith("G") and not described:
        values = bytes.fromhex(packet[1:])
        for n in range(len(values) // 4):
            store(regs, n, int.from_bytes(values[4 * n:4 * n + 4], "little"))
        return "OK"
    if packet.startswith("p") and described:
        number = int(packet[1:], 16)
        return le(regs[number]) if number in DESCRIBED else "E14"
    if packet.startswith("P") and described:
        number, value = packet[1:].split("=")
        if REGISTERS == "rejectP" or int(number, 16) not in DESCRIBED:
            return "E14"
        store(regs, int(number, 16), int.from_bytes(bytes.fromhex(value), "little"))
        return "OK"
    if packet == "qRcmd," + b"system_reset".hex():
        state["regs"] = initial_registers(0x50000000)
        return "OK"
    return ""


def main():
    time.sleep(float(os.environ.get("DIORX_FAKE_START_DELAY", "0")))
    spin_until = time.time() + float(os.environ.get("DIORX_FAKE_START_SPIN", "0"))
    while time.time() < spin_until:
        pass
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(socket_path(sys.argv))
    listener.listen(1)
    connection, _ = listener.accept()
    state = {"ack": True, "steps": 0, "sstep": 7, "regs": initial_registers(0x10000000)}
    buffer = b""
    while True:
        data = connection.recv(4096)
        if not data:
            return
        buffer += data
        while buffer:
            if buffer[:1] in (b"+", b"-"):
                buffer = buffer[1:]
            elif buffer[:1] == b"\x03":
                buffer = buffer[1:]
                connection.sendall(frame("S02"))
            elif buffer[:1] == b"$":
                end = buffer.find(b"#")
                if end < 0 or len(buffer) < end + 3:
                    break
                packet = buffer[1:end].decode()
                buffer = buffer[end + 3:]
                reply = answer(packet, state)
                connection.sendall((b"+" if state["ack"] or packet == "QStartNoAckMode" else b"") + frame(reply))
            else:
                buffer = buffer[1:]


main()
