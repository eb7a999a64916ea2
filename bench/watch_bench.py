#!/usr/bin/env python3
"""Watched runs: the GDB server's own watchpoints against gdb's software
watchpoints, and QEMU's stub doing the same, in one run.

    bench/watch_bench.py [BUILD_DIR]

On the sample firmware (demo.elf):
  * the watchpoint in the server (Z2, `watch` with gdb's default
    can-use-hw-watchpoints 1): the server steps through the exports and
    decodes each instruction; instructions per second over a 2 s window of
    main's loop (4 instructions an iteration, counted by loop_count);
  * gdb's software watchpoint (set can-use-hw-watchpoints 0): gdb steps
    over the wire and reads the value after every instruction; the time of
    one `continue` from the reset vector to sum_table, whose instructions are
    counted by stepping the same path with `s` packets;
  * the same two against qemu-system-arm -M lm3s6965evb, when installed.
Prints instructions per second and the ratio to gdb's software watchpoint
against the server, measured in the same run. Not run by CI.
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, 'build', 'native')
ELF = os.path.join(BUILD, 'firmware', 'demo.elf')
ORXDBG = os.path.join(BUILD, 'bin', 'orxdbg')
GDB = shutil.which('gdb-multiarch')
QEMU = shutil.which('qemu-system-arm')
UNWATCHED = 0x20008000  # RAM the firmware never writes
LOOP_INSTRUCTIONS = 4   # main's loop: ldr, adds, str, b
WINDOW = 2.0


class Rsp:
    def __init__(self, port):
        deadline = time.time() + 20
        while True:
            try:
                self.sock = socket.create_connection(('127.0.0.1', port), timeout=30)
                break
            except OSError:
                if time.time() > deadline:
                    raise
                time.sleep(0.05)
        self.buffer = b''
        self.sock.sendall(self.frame(b'QStartNoAckMode'))
        self.packet()
        self.sock.sendall(b'+')

    @staticmethod
    def frame(payload):
        return b'$' + payload + b'#%02x' % (sum(payload) & 0xFF)

    def packet(self):
        while True:
            start = self.buffer.find(b'$')
            end = self.buffer.find(b'#', start)
            if start >= 0 and end >= 0 and len(self.buffer) >= end + 3:
                payload = self.buffer[start + 1:end]
                self.buffer = self.buffer[end + 3:]
                if payload.startswith(b'O') and payload != b'OK':
                    continue
                return payload.decode()
            data = self.sock.recv(65536)
            if not data:
                raise RuntimeError('the stub closed the connection')
            self.buffer += data

    def exchange(self, payload):
        self.sock.sendall(self.frame(payload.encode()))
        return self.packet()

    def word(self, address):
        reply = self.exchange('m%x,4' % address)
        return int.from_bytes(bytes.fromhex(reply), 'little')

    def pc(self):
        return int.from_bytes(bytes.fromhex(self.exchange('pf')), 'little')

    def close(self):
        self.sock.close()


def symbol(name):
    out = subprocess.run(['arm-none-eabi-nm', ELF], capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[2] == name:
            return int(fields[0], 16)
    raise SystemExit('no symbol ' + name)


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Stub:
    """The server or QEMU, started fresh (reset, halted) for each measurement."""

    def __init__(self, kind):
        self.kind = kind
        self.log = tempfile.TemporaryFile()
        if kind == 'server':
            self.proc = subprocess.Popen([ORXDBG, 'gdbserver', '--port', '0', '--elf', ELF], stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, text=True)
            for line in self.proc.stdout:
                m = re.search(r'listening on 127\.0\.0\.1:(\d+)', line)
                if m:
                    self.port = int(m.group(1))
                    break
            else:
                raise SystemExit('the server did not start')
        else:
            self.port = free_port()
            self.proc = subprocess.Popen([QEMU, '-M', 'lm3s6965evb', '-S', '-nographic', '-monitor', 'none',
                                          '-serial', 'none', '-gdb', 'tcp:127.0.0.1:%d' % self.port, '-kernel', ELF],
                                         stdout=self.log, stderr=subprocess.STDOUT)
            time.sleep(0.5)

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def stub_watch_rate(kind):
    """Instructions per second of a continue with a watchpoint in the stub."""
    stub = Stub(kind)
    try:
        rsp = Rsp(stub.port)
        loop_count = symbol('loop_count')
        main_loop = symbol('main') + 0x14
        # Into main's loop first, unwatched.
        assert rsp.exchange('Z0,%x,2' % main_loop) == 'OK'
        assert rsp.exchange('vCont;c').startswith('T05')
        assert rsp.exchange('z0,%x,2' % main_loop) == 'OK'
        assert rsp.exchange('Z2,%x,4' % UNWATCHED) == 'OK'
        before = rsp.word(loop_count)
        rsp.sock.sendall(Rsp.frame(b'vCont;c'))
        start = time.time()
        time.sleep(WINDOW)
        rsp.sock.sendall(b'\x03')
        reply = rsp.packet()
        elapsed = time.time() - start
        assert reply.startswith('T02'), reply
        iterations = rsp.word(loop_count) - before
        rsp.close()
        return iterations * LOOP_INSTRUCTIONS / elapsed
    finally:
        stub.stop()


def instructions_to(target):
    """Instructions from the reset vector to target, counted with s packets."""
    stub = Stub('server')
    try:
        rsp = Rsp(stub.port)
        count = 0
        while rsp.pc() != target:
            assert rsp.exchange('vCont;s:1').startswith('T05')
            count += 1
            if count > 100000:
                raise SystemExit('the step count ran away')
        rsp.close()
        return count
    finally:
        stub.stop()


def gdb_continue_time(kind, hardware):
    """Seconds of one gdb continue from the reset vector to sum_table, watched."""
    stub = Stub(kind)
    try:
        out = subprocess.run(
            [GDB, '-batch', '-nx', '-q', ELF, '-ex', 'target remote 127.0.0.1:%d' % stub.port,
             '-ex', 'set can-use-hw-watchpoints %d' % hardware, '-ex', 'tbreak sum_table',
             '-ex', 'watch *(int *)0x%x' % UNWATCHED, '-ex', 'python import time; t0 = time.time()',
             '-ex', 'continue', '-ex', 'python print("BENCH %f" % (time.time() - t0))'],
            capture_output=True, text=True, timeout=600).stdout
        m = re.search(r'BENCH ([0-9.]+)', out)
        expected = 'Hardware watchpoint' if hardware else 'Watchpoint'
        if not m or expected not in out or 'sum_table' not in out:
            raise SystemExit('gdb session against %s failed:\n%s' % (kind, out))
        return float(m.group(1))
    finally:
        stub.stop()


def main():
    if not GDB:
        raise SystemExit('gdb-multiarch is needed')
    subprocess.run(['cmake', '--build', BUILD, '--target', 'orxdbg', 'firmware'], check=True,
                   stdout=subprocess.DEVNULL)
    path = instructions_to(symbol('sum_table'))
    rows = [
        ('server: watchpoint in the server (Z2), 2 s of main loop', stub_watch_rate('server')),
        ('server: gdb watch (Z2), reset to sum_table', path / gdb_continue_time('server', 1)),
        ('server: gdb software watchpoint, reset to sum_table', path / gdb_continue_time('server', 0)),
    ]
    if QEMU:
        rows += [
            ('qemu:   watchpoint in the stub (Z2), 2 s of main loop', stub_watch_rate('qemu')),
            ('qemu:   gdb watch (Z2), reset to sum_table', path / gdb_continue_time('qemu', 1)),
            ('qemu:   gdb software watchpoint, reset to sum_table', path / gdb_continue_time('qemu', 0)),
        ]
    baseline = rows[2][1]
    print('watched runs on demo.elf (%d instructions from the reset vector to sum_table)' % path)
    print('%-58s %16s %10s' % ('', 'instructions/s', 'ratio'))
    for name, rate in rows:
        print('%-58s %16.0f %9.1fx' % (name, rate, rate / baseline))
    print('ratio: to gdb\'s software watchpoint against the server, same run')


if __name__ == '__main__':
    main()
