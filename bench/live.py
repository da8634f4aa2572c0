#!/usr/bin/python3
"""Live pages against websrv: prints a Markdown section with the figures and the targets.

Usage: live.py [--build DIR] [--connections N] [--rounds N] [--events SECONDS]

1. "-j 64", N WebSocket connections (50 by default; half from 127.0.0.1, half from 127.0.0.2,
   since one address has at most half of the slots at work) to "exec cat" through
   -websocket: the round trip of a 32-byte message, one connection at a time over all of them,
   and all of them at once; the median and 99th percentile of each (target: median under 5 ms).
   Then the memory of all the server's processes together, the programs included: the sum of
   their proportional set sizes (PSS, each shared page counted once over the processes sharing
   it; target: under 50 MB), and for comparison the sum of their resident sizes (RSS, shared
   pages counted in every process).
2. A CGI program that writes 10 server-sent events a second, numbered, for SECONDS (20 by
   default; 600 for the ten-minute check): every number must arrive once, in order, as an event
   of its own (target: none missed or merged).

Needs Python's websockets module (Debian: python3-websockets). Only loopback addresses are
contacted; the server is stopped by its process id at the end.
"""
import argparse
import asyncio
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import websockets

MESSAGE = 'm' * 32


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def script(path, body):
    with open(path, 'w') as f:
        f.write('#!/bin/sh\n%s\n' % body)
    os.chmod(path, 0o755)


def start_server(build, work, options):
    port = free_port()
    log = open(os.path.join(work, 'server.log'), 'wb')
    process = subprocess.Popen([os.path.join(build, 'websrv'), '-plugin', os.path.join(build, 'plugins', 'http.so'),
                                '-port', str(port)] + options + ['-c', 'cgi-bin', '-d', os.path.join(work, 'www')],
                               stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                               env=dict(os.environ, WEBSRV_TEST_PORT_FILE=os.path.join(work, 'webport')))
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            socket.create_connection(('127.0.0.1', port), timeout=1).close()
            return process, port
        except OSError:
            time.sleep(0.05)
    process.kill()
    sys.exit('live.py: the server did not start')


def stop_server(process):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(15)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def tree(root):
    """The process ids of `root` and all below it."""
    parents = {}
    for entry in os.listdir('/proc'):
        if entry.isdigit():
            try:
                with open('/proc/%s/stat' % entry) as f:
                    parents[int(entry)] = int(f.read().rsplit(')', 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                pass
    found, grew = {root}, True
    while grew:
        below = {pid for pid, parent in parents.items() if parent in found} - found
        found |= below
        grew = bool(below)
    return found


def memory_kib(pids):
    """The sums of PSS and RSS over the processes, in KiB."""
    pss = rss = 0
    for pid in pids:
        try:
            with open('/proc/%d/smaps_rollup' % pid) as f:
                for line in f:
                    if line.startswith('Pss:'):
                        pss += int(line.split()[1])
                    elif line.startswith('Rss:'):
                        rss += int(line.split()[1])
        except OSError:
            pass
    return pss, rss


async def round_trip(ws):
    started = time.perf_counter()
    await ws.send(MESSAGE)
    answer = await ws.recv()
    assert answer == MESSAGE, answer
    return (time.perf_counter() - started) * 1000


def spread(times):
    ordered = sorted(times)
    return statistics.median(ordered), ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))]


async def echo_figures(port, count, rounds, server):
    sockets = []
    for i in range(count):
        # Each client address may hold half of the slots at work: two addresses share them.
        source = ('127.0.0.%d' % (1 + i % 2), 0)
        sockets.append(await websockets.connect('ws://127.0.0.1:%d/echo' % port, local_addr=source,
                                                ping_interval=None))
    try:
        for ws in sockets:  # every connection answers before anything is measured
            await round_trip(ws)
        one_at_a_time = [await round_trip(ws) for _ in range(rounds) for ws in sockets]
        all_at_once = []
        for _ in range(rounds):
            all_at_once += await asyncio.gather(*(round_trip(ws) for ws in sockets))
        pss, rss = memory_kib(tree(server.pid))
        processes = len(tree(server.pid))
        return spread(one_at_a_time), spread(all_at_once), pss, rss, processes
    finally:
        await asyncio.gather(*(ws.close() for ws in sockets))


def events_figures(port, seconds):
    """Reads the numbered events for `seconds`; returns (events, missed, merged, out of order)."""
    sock = socket.create_connection(('127.0.0.1', port), timeout=10)
    sock.sendall(b'GET /cgi-bin/tick HTTP/1.1\r\nHost: device\r\nAccept: text/event-stream\r\n\r\n')
    data = b''
    while b'\r\n\r\n' not in data:
        data += sock.recv(4096)
    data = data.split(b'\r\n\r\n', 1)[1]
    expected, missed, merged, disorder, count = 1, 0, 0, 0, 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        got = sock.recv(65536)
        if not got:
            break
        data += got
        *blocks, data = data.split(b'\n\n')
        for block in blocks:
            lines = block.split(b'\n')
            if len(lines) != 1 or not lines[0].startswith(b'data: '):
                merged += 1
                continue
            number = int(lines[0][6:])
            count += 1
            if number < expected:
                disorder += 1
            missed += max(0, number - expected)
            expected = max(expected, number + 1)
    sock.close()
    return count, missed, merged, disorder


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build', default=os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'build'))
    parser.add_argument('--connections', type=int, default=50)
    parser.add_argument('--rounds', type=int, default=20)
    parser.add_argument('--events', type=float, default=20, metavar='SECONDS')
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix='websrv-live-bench-')
    os.makedirs(os.path.join(work, 'www', 'cgi-bin'))
    script(os.path.join(work, 'echo'), 'exec cat')
    script(os.path.join(work, 'www', 'cgi-bin', 'tick'),
           "printf 'Content-Type: text/event-stream\\r\\n\\r\\n'; i=0\n"
           "while :; do i=$((i + 1)); printf 'data: %d\\n\\n' $i; sleep 0.1; done")
    server, port = start_server(args.build, work, ['-j', '64', '-websocket', '/echo', os.path.join(work, 'echo')])
    try:
        single, burst, pss, rss, processes = asyncio.run(echo_figures(port, args.connections, args.rounds, server))
        count, missed, merged, disorder = events_figures(port, args.events)
    finally:
        stop_server(server)
        subprocess.run(['rm', '-rf', work])
    met = lambda ok: 'met' if ok else 'missed'
    print('## Live pages (bench/live.py)\n')
    print('| figure | value | target |')
    print('|---|---|---|')
    print('| echo round trip, %d connections, one at a time (median / p99) | %.2f / %.2f ms | median under 5 ms: %s |'
          % (args.connections, single[0], single[1], met(single[0] < 5)))
    print('| echo round trip, %d connections at once (median / p99) | %.2f / %.2f ms | |'
          % (args.connections, burst[0], burst[1]))
    print('| memory of all %d processes, PSS (RSS) | %.1f MB (%.1f MB) | under 50 MB: %s |'
          % (processes, pss / 1024, rss / 1024, met(pss / 1024 < 50)))
    print('| events at 10 a second for %g s: received, missed, merged, out of order | %d, %d, %d, %d | none missed or merged: %s |'
          % (args.events, count, missed, merged, disorder, met(missed == merged == disorder == 0 and count > 0)))


if __name__ == '__main__':
    main()
