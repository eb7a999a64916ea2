#!/usr/bin/env python3
# Stands in for QEMU: serves a gdb stub on the socket QEMU would have been
# told to make (-chardev socket,...,path=P) and answers each single step with
# the next signal of STEP_SIGNALS (hex, comma-separated, the last repeated),
# for the tests of what the core makes of a step that QEMU ends otherwise
# than with a trap.
import os
import socket
import sys

STEP_SIGNALS = os.environ.get("DIORX_FAKE_STEP_SIGNALS", "05").split(",")


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
    if packet.startswith("qSupported"):
        return "PacketSize=1000"
    if packet == "?":
        return "S05"
    if packet == "s":
        signal = STEP_SIGNALS[min(state["steps"], len(STEP_SIGNALS) - 1)]
        state["steps"] += 1
        return "S" + signal
    if packet == "g":
        return "00" * 4 * 64
    return ""


def main():
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(socket_path(sys.argv))
    listener.listen(1)
    connection, _ = listener.accept()
    state = {"ack": True, "steps": 0}
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
