#!/usr/bin/env python3
"""gdb's machine interface against `orxdbg gdbserver`, as an IDE drives it.

Starts the server on a free port with the sample firmware, runs
`gdb-multiarch --interpreter=mi3` and sends the commands a debugger front-end
sends (connect, load, breakpoints, runs, stepping, frames, variables,
registers, memory, variable objects, a watchpoint, an interrupt), checking
every result record (^done, ^running, ^connected, ^error), every *stopped
record's reason and the values in them.

    mi_session.py GDB ORXDBG ELF

Exit status 0 when every check held; otherwise the failed checks are listed
and the status is 1. Every wait is bounded.
"""
import os
import queue
import re
import subprocess
import sys
import threading
import time

TIMEOUT = 30  # seconds for any one record


# ---- MI output -------------------------------------------------------------------

def parse_value(text, at):
    """One MI value (c-string, tuple or list) at text[at]; (value, next index)."""
    c = text[at]
    if c == '"':
        out, i = [], at + 1
        while text[i] != '"':
            if text[i] == '\\':
                i += 1
                out.append({'n': '\n', 't': '\t', '"': '"', '\\': '\\'}.get(text[i], text[i]))
            else:
                out.append(text[i])
            i += 1
        return ''.join(out), i + 1
    if c == '{':
        return parse_results(text, at + 1, '}')
    if c == '[':
        items, i = [], at + 1
        if text[i] == ']':
            return items, i + 1
        while True:
            if text[i] in '"{[':
                value, i = parse_value(text, i)
            else:  # a list of results: name=value, keep the values
                _, i = parse_name(text, i)
                value, i = parse_value(text, i)
            items.append(value)
            if text[i] == ']':
                return items, i + 1
            i += 1  # ','


def parse_name(text, at):
    end = text.index('=', at)
    return text[at:end], end + 1


def parse_results(text, at, close):
    result, i = {}, at
    if i < len(text) and text[i] == close:
        return result, i + 1
    while i < len(text):
        name, i = parse_name(text, i)
        value, i = parse_value(text, i)
        result[name] = value
        if i >= len(text) or text[i] == close:
            return result, i + 1
        i += 1  # ','
    return result, i


def parse_record(line):
    """('^', 'done', {...}) for result and async records; None for others."""
    m = re.match(r'^\d*([\^*=])([a-z-]+)(,(.*))?$', line)
    if not m:
        return None
    body = m.group(4) or ''
    results, _ = parse_results(body, 0, '\0') if body else ({}, 0)
    return m.group(1), m.group(2), results


class Gdb:
    def __init__(self, gdb):
        self.proc = subprocess.Popen([gdb, '--interpreter=mi3', '-nx', '-q'], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.lines = queue.Queue()
        self.log = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip('\n'))
        self.lines.put(None)

    def next_line(self, deadline):
        try:
            line = self.lines.get(timeout=max(0.0, deadline - time.time()))
        except queue.Empty:
            return None
        if line is not None:
            self.log.append(line)
        return line

    def send(self, command):
        self.log.append('>>> ' + command)
        self.proc.stdin.write(command + '\n')
        self.proc.stdin.flush()

    def command(self, command):
        """Sends a command; its result record (kind, results) and the records before it."""
        self.send(command)
        return self.wait_for('^')

    def wait_for(self, sigil, klass=None):
        deadline = time.time() + TIMEOUT
        seen = []
        while True:
            line = self.next_line(deadline)
            if line is None:
                return None, seen
            record = parse_record(line)
            if record is None:
                continue
            seen.append(record)
            if record[0] == sigil and (klass is None or record[1] == klass):
                return record, seen

    def close(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
            self.proc.wait()


# ---- The session -----------------------------------------------------------------

class Checks:
    def __init__(self):
        self.failed = []
        self.count = 0

    def expect(self, condition, what, detail=''):
        self.count += 1
        print(('ok     ' if condition else 'FAILED ') + what + ('' if condition else ': ' + str(detail)))
        if not condition:
            self.failed.append(what)
        return condition


def start_server(orxdbg, elf):
    server = subprocess.Popen([orxdbg, 'gdbserver', '--port', '0', '--elf', elf], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    deadline = time.time() + TIMEOUT
    output = ''
    while time.time() < deadline:
        line = server.stdout.readline()
        if not line:
            break
        output += line
        m = re.search(r'listening on 127\.0\.0\.1:(\d+)', line)
        if m:
            threading.Thread(target=lambda: [None for _ in server.stdout], daemon=True).start()
            return server, int(m.group(1))
    server.kill()
    sys.exit('the server did not start listening:\n' + output)


def run(gdb_path, orxdbg, elf):
    server, port = start_server(orxdbg, elf)
    gdb = Gdb(gdb_path)
    c = Checks()

    def done(command, klass='done'):
        record, _ = gdb.command(command)
        ok = c.expect(record is not None and record[1] == klass, command + ' -> ^' + klass, record)
        return record[2] if ok else {}

    def stopped(command, reason):
        record, _ = gdb.command(command)
        c.expect(record is not None and record[1] == 'running', command + ' -> ^running', record)
        stop, _ = gdb.wait_for('*', 'stopped')
        fields = stop[2] if stop else {}
        c.expect(fields.get('reason') == reason, command + ' -> *stopped reason=' + reason, fields)
        return fields

    try:
        gdb.wait_for_prompt = None
        done('-gdb-set mi-async on')
        done('-file-exec-and-symbols ' + elf)
        done('-target-select extended-remote 127.0.0.1:%d' % port, 'connected')
        done('-target-download')
        b1 = done('-break-insert compute_table').get('bkpt', {})
        c.expect(b1.get('number') == '1' and b1.get('func') == 'compute_table', 'breakpoint 1 in compute_table', b1)
        b2 = done('-break-insert sum_table').get('bkpt', {})
        c.expect(b2.get('func') == 'sum_table', 'breakpoint 2 in sum_table', b2)

        stop = stopped('-exec-continue', 'breakpoint-hit')
        c.expect(stop.get('bkptno') == '1' and stop.get('frame', {}).get('func') == 'compute_table',
                 'stopped at breakpoint 1 in compute_table', stop)
        stop = stopped('-exec-finish', 'function-finished')
        c.expect(stop.get('frame', {}).get('func') == 'main', 'finish returns to main', stop)
        stop = stopped('-exec-continue', 'breakpoint-hit')
        frame = stop.get('frame', {})
        c.expect(stop.get('bkptno') == '2' and frame.get('func') == 'sum_table', 'stopped at breakpoint 2', stop)
        args = {a.get('name'): a.get('value') for a in frame.get('args', [])}
        c.expect(args.get('count') == '16', 'the frame shows count=16', args)

        frames = done('-stack-list-frames').get('stack', [])
        c.expect([f.get('func') for f in frames] == ['sum_table', 'main'], 'two frames: sum_table, main', frames)
        variables = done('-stack-list-variables --simple-values').get('variables', [])
        by_name = {v.get('name'): v for v in variables}
        c.expect(by_name.get('count', {}).get('value') == '16' and by_name.get('count', {}).get('arg') == '1',
                 'argument count = 16', variables)
        c.expect('values' in by_name, 'argument values listed', variables)

        registers = done('-data-list-register-values x 15').get('register-values', [])
        pc = registers[0].get('value') if registers else ''
        c.expect(re.fullmatch(r'0x[0-9a-f]+', pc or '') is not None and int(pc, 16) == int(frame.get('addr', '0'), 16),
                 'pc in hex, at the stop address', (registers, frame.get('addr')))
        memory = done('-data-read-memory-bytes &table 16').get('memory', [])
        c.expect(memory and memory[0].get('contents') == '070000000b000000150000002b000000',
                 'table[0..3] = 7, 11, 21, 43 in memory', memory)

        var = done('-var-create vcount * count')
        c.expect(var.get('value') == '16' and var.get('name') == 'vcount', 'variable object for count', var)
        var = done('-var-create vsum * table_sum')
        c.expect(var.get('value') == '0', 'variable object for table_sum, 0 before the sum', var)

        stop = stopped('-exec-next', 'end-stepping-range')
        c.expect(stop.get('frame', {}).get('func') == 'sum_table', 'next stays in sum_table', stop)

        done('-break-delete 2')
        wpt = done('-break-watch table_sum').get('wpt', {})
        c.expect(wpt.get('exp') == 'table_sum', 'watchpoint on table_sum', wpt)
        table = done('-break-list').get('BreakpointTable', {}).get('body', [])
        types = [b.get('type') for b in table]
        c.expect('hw watchpoint' in types, 'gdb made it a hardware watchpoint (Z2), not a software one', types)
        stop = stopped('-exec-continue', 'watchpoint-trigger')
        c.expect(stop.get('value') == {'old': '0', 'new': '14872'}, 'the watchpoint shows old 0, new 14872', stop)
        c.expect(stop.get('frame', {}).get('func') == 'main', 'the watchpoint stops in main', stop)

        changes = done('-var-update --all-values *').get('changelist', [])
        by_name = {v.get('name'): v for v in changes}
        c.expect(by_name.get('vsum', {}).get('value') == '14872', 'var-update: table_sum changed to 14872', changes)
        c.expect(by_name.get('vcount', {}).get('in_scope') == 'false', 'var-update: count out of scope', changes)

        done('-break-delete')
        record, _ = gdb.command('-exec-continue')
        c.expect(record is not None and record[1] == 'running', '-exec-continue -> ^running (main loop)', record)
        time.sleep(0.3)
        done('-exec-interrupt')
        stop, _ = gdb.wait_for('*', 'stopped')
        fields = stop[2] if stop else {}
        c.expect(fields.get('reason') == 'signal-received' and fields.get('signal-name') == 'SIGINT',
                 '-exec-interrupt -> *stopped SIGINT', fields)
        value = done('-data-evaluate-expression loop_count').get('value', '0')
        c.expect(value.isdigit() and int(value) > 0, 'the loop ran before the interrupt', value)

        record, _ = gdb.command('-break-insert nosuch_function')
        c.expect(record is not None and record[1] == 'error' and 'nosuch_function' in record[2].get('msg', ''),
                 'a breakpoint on an unknown function -> ^error', record)
        done('-target-detach')
        record, _ = gdb.command('-gdb-exit')
        c.expect(record is not None and record[1] == 'exit', '-gdb-exit -> ^exit', record)
    finally:
        gdb.close()
        server.terminate()
        try:
            server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()

    print('%d checks, %d failed' % (c.count, len(c.failed)))
    if c.failed or os.environ.get('MI_TRANSCRIPT'):
        print('\ngdb/MI transcript:\n' + '\n'.join(gdb.log))
        return 1
    return 0


if __name__ == '__main__':
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(run(*sys.argv[1:]))
