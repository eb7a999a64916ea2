#!/usr/bin/env python3
"""The GDB server under abuse: random packets and reconnects for a while,
its resident size sampled as it goes.

    python3 bench/server_soak.py [--minutes M] [--seed S] [--server PATH] [--elf FILE]

Starts `orxdbg gdbserver` on the in-process Cortex-M with the image, then
plays a client that sends a random mix of what gdb sends (register and
memory reads and writes, breakpoints and watchpoints, steps, continues it
interrupts, monitor commands, the flash writes of a load, the features and
memory-map documents), malformed frames (bad checksums, garbage, oversized
packets, escapes, run-length codes) and hang-ups at random points, with a
new connection after each. Every SAMPLE seconds it prints the server's
resident size; at the end, the curve's summary: the size after the warm-up,
the lowest and highest after it, and the last. A leak shows as a size that
keeps climbing after the warm-up; a flat curve is what a sound server gives.
"""
import argparse
import os
import random
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def frame(body):
    data = body if isinstance(body, bytes) else body.encode()
    return b"$" + data + b"#" + b"%02x" % (sum(data) & 0xFF)


def hexs(text):
    return text.encode().hex()


class Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
        self.sock.settimeout(0.5)
        self.acks = True

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass

    def send(self, raw):
        self.sock.sendall(raw)

    def drain(self, wait=0.05):
        """Reads what the server has to say within `wait` seconds."""
        self.sock.settimeout(wait)
        got = b""
        try:
            while True:
                chunk = self.sock.recv(65536)
                if not chunk:
                    raise ConnectionError("closed")
                got += chunk
                if got.endswith(b"#") or (len(got) >= 3 and got[-3:-2] == b"#"):
                    break
        except socket.timeout:
            pass
        if self.acks and b"$" in got:
            self.sock.sendall(b"+")
        return got

    def packet(self, body, wait=0.5):
        self.send(frame(body))
        return self.drain(wait)


def random_packet(rng):
    ram = 0x20000000
    addr = rng.choice([ram + rng.randrange(0, 0x10000), rng.randrange(0, 0x40000), rng.getrandbits(32),
                       0xE000E010, 0x40004000, 0xFFFFFFFC])
    length = rng.choice([1, 2, 4, 16, 256, 4096, rng.randrange(0, 70000)])
    reg = rng.randrange(0, 40)
    choices = [
        lambda: "qSupported:multiprocess+;swbreak+;hwbreak+;qRelocInsn+;fork-events+;vfork-events+;exec-events+",
        lambda: "?",
        lambda: "g",
        lambda: "G" + "".join("%02x" % rng.randrange(256) for _ in range(rng.choice([68, 4, 200]))),
        lambda: "p%x" % reg,
        lambda: "P%x=%08x" % (reg, rng.getrandbits(32)),
        lambda: "m%x,%x" % (addr, length),
        lambda: "M%x,%x:%s" % (addr, min(length, 512), "ab" * min(length, 512)),
        lambda: b"X%x,%x:" % (addr, 8) + bytes(rng.randrange(256) for _ in range(8)).replace(b"}", b"}\x5d")
        .replace(b"#", b"}\x03").replace(b"$", b"}\x04").replace(b"*", b"}\x0a"),
        lambda: "Z0,%x,%d" % (addr, rng.choice([2, 3, 4])),
        lambda: "z0,%x,%d" % (addr, rng.choice([2, 3, 4])),
        lambda: "Z1,%x,2" % addr,
        lambda: "Z%d,%x,%d" % (rng.choice([2, 3, 4]), addr, rng.choice([1, 2, 4, 8])),
        lambda: "z%d,%x,%d" % (rng.choice([2, 3, 4]), addr, rng.choice([1, 2, 4, 8])),
        lambda: "s",
        lambda: "vCont;s:1",
        lambda: "vCont?",
        lambda: "Hg0",
        lambda: "Hc-1",
        lambda: "qC",
        lambda: "qfThreadInfo",
        lambda: "qsThreadInfo",
        lambda: "qAttached",
        lambda: "qOffsets",
        lambda: "qXfer:features:read:target.xml:%x,%x" % (rng.randrange(0, 3000), rng.choice([0x7ff, 1, 0x10000])),
        lambda: "qXfer:memory-map:read::%x,%x" % (rng.randrange(0, 2000), 0x7ff),
        lambda: "qRcmd," + hexs(rng.choice(["reset halt", "status", "halt", "help", "reset", "no such command",
                                             "arm semihosting enable", "arm semihosting disable", "reset init"])),
        lambda: "vFlashErase:%x,%x" % (rng.randrange(0, 0x40000) & ~0x3FF, 0x400),
        lambda: b"vFlashWrite:%x:" % (rng.randrange(0, 0x40000)) + bytes(rng.randrange(256) for _ in range(64))
        .replace(b"}", b"}\x5d").replace(b"#", b"}\x03").replace(b"$", b"}\x04").replace(b"*", b"}\x0a"),
        lambda: "vFlashDone",
        lambda: "QStartNoAckMode",
        lambda: "qTStatus",
        lambda: "vMustReplyEmpty",
        lambda: "x" * rng.choice([10, 5000, 40000]),
        lambda: "m" + "f" * 40 + ",1",
        lambda: "0" * 3 + "*" + chr(rng.randrange(29, 126)),
    ]
    return rng.choice(choices)()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--sample", type=float, default=10, help="seconds between samples")
    parser.add_argument("--warmup", type=float, default=120, help="seconds before the curve counts")
    parser.add_argument("--server", default=os.path.join(ROOT, "build/native/bin/orxdbg"))
    parser.add_argument("--elf", default=os.path.join(ROOT, "build/native/firmware/demo.elf"))
    args = parser.parse_args()
    rng = random.Random(args.seed)

    server = subprocess.Popen([args.server, "gdbserver", "--port", "0", "--elf", args.elf],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    port = None
    for line in server.stdout:
        if "listening" in line:
            port = int(line.rsplit(":", 1)[1].split()[0])
            break
    if port is None:
        sys.exit("server_soak: the server did not start")
    # The server's log is not read from here on; keep its pipe from filling.
    subprocess.Popen(["cat"], stdin=server.stdout, stdout=subprocess.DEVNULL)

    start = time.time()
    end = start + args.minutes * 60
    next_sample = start
    samples = []
    packets = connections = 0
    client = None
    try:
        while time.time() < end:
            if server.poll() is not None:
                sys.exit(f"server_soak: the server ended with status {server.returncode} after {packets} packets")
            now = time.time()
            if now >= next_sample:
                kib = rss_kib(server.pid)
                samples.append((now - start, kib))
                print(f"{now - start:8.0f} s  {kib / 1024:7.2f} MiB  {packets} packets, {connections} connections",
                      flush=True)
                next_sample += args.sample
            if client is None:
                try:
                    client = Client(port)
                    connections += 1
                except OSError:
                    time.sleep(0.05)
                    continue
            try:
                roll = rng.random()
                if roll < 0.01:
                    client.close()  # a hang-up at any point
                    client = None
                    continue
                if roll < 0.03:
                    client.send(bytes(rng.randrange(256) for _ in range(rng.randrange(1, 300))))
                    client.drain()
                elif roll < 0.05:
                    client.send(b"$" + b"m0,4" + b"#00")  # a bad checksum
                    client.drain()
                elif roll < 0.08:
                    client.packet(rng.choice(["c", "vCont;c"]), wait=rng.choice([0.001, 0.05, 0.2]))
                    client.send(b"\x03")
                    client.drain(0.5)
                elif roll < 0.085:
                    client.packet("D")
                    client.close()
                    client = None
                    continue
                else:
                    reply = client.packet(random_packet(rng), wait=0.3)
                    if b"$OK" in reply and client.acks and False:
                        pass
                packets += 1
            except (OSError, ConnectionError):
                client.close()
                client = None
    finally:
        if client:
            client.close()
        server.terminate()
        try:
            server.wait(10)
        except subprocess.TimeoutExpired:
            server.kill()

    after = [kib for t, kib in samples if t >= args.warmup]
    if after:
        print(f"after {args.warmup:.0f} s of warm-up: {after[0] / 1024:.2f} MiB; lowest {min(after) / 1024:.2f}, "
              f"highest {max(after) / 1024:.2f}, last {after[-1] / 1024:.2f} MiB; {packets} packets, "
              f"{connections} connections in {args.minutes:g} min")


if __name__ == "__main__":
    main()
