#!/usr/bin/env python3
"""Clients that trickle or hold connections idle, against websrv: prints a Markdown section.

Usage: fairness.py WEBSRV HTTP_PLUGIN DOCROOT WORKDIR

1. "-j 4", three clients (127.0.0.2 to 127.0.0.4) each sending a request header a byte every
   five seconds (and connecting again when cut off), while an honest client (127.0.0.1) asks
   for /1k.bin over and over: its latency, median and 99th percentile (target: under 50 ms).
2. "-j 8", one address (127.0.0.5) holding 200 idle connections, while the honest client asks:
   the latency of its first answer and the 99th percentile of 50 (target: served at once).
3. "-j 1", one client trickling a byte every five seconds: how long after it connected the
   server cut it off (target: 30 s).

Every server runs on a free loopback port and is stopped by its process id at the end.
"""
import os
import socket
import subprocess
import sys
import threading
import time

websrv, plugin, docroot, work = sys.argv[1:5]
REQUEST = b'GET /1k.bin HTTP/1.0\r\n\r\n'


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def start(jobs):
    port = free_port()
    log = open(os.path.join(work, 'fairness-%d.log' % jobs), 'w')
    process = subprocess.Popen([websrv, '-j', str(jobs), '-plugin', plugin, '-port', str(port), '-d', docroot],
                               stdout=log, stderr=subprocess.STDOUT)
    for _ in range(200):
        try:
            with socket.create_connection(('127.0.0.1', port), timeout=1) as probe:
                probe.sendall(REQUEST)
                probe.recv(1)
            return process, port
        except OSError:
            time.sleep(0.05)
    process.terminate()
    raise SystemExit('websrv did not start')


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=60)
    except subprocess.TimeoutExpired:
        process.kill()


def connect_from(source, port):
    sock = socket.socket()
    sock.bind((source, 0))
    sock.connect(('127.0.0.1', port))
    return sock


def ask(port):
    """One honest request from 127.0.0.1; the seconds until the whole answer was in."""
    begin = time.monotonic()
    with connect_from('127.0.0.1', port) as sock:
        sock.settimeout(60)
        sock.sendall(REQUEST)
        while sock.recv(65536):
            pass
    return time.monotonic() - begin


def trickle(source, port, until, cut_after=None):
    """Sends a header a byte every five seconds from `source`, connecting again when cut off,
    until the time `until`. Appends to cut_after how long each connection lasted."""
    header = b'GET /1k.bin HTTP/1.0\r\nX-Slow: ' + b'a' * 200
    while time.monotonic() < until:
        sock = connect_from(source, port)
        sock.settimeout(0.2)
        opened = time.monotonic()
        for byte in header:
            try:
                sock.send(bytes([byte]))
            except OSError:
                break
            closed = False
            for _ in range(25):
                try:
                    if sock.recv(4096) == b'':
                        closed = True
                        break
                except socket.timeout:
                    pass
                except OSError:
                    closed = True
                    break
            if closed or time.monotonic() >= until:
                break
        if cut_after is not None:
            cut_after.append(time.monotonic() - opened)
        sock.close()
        if cut_after is not None:
            return


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * share))]


def trickling_clients():
    process, port = start(4)
    until = time.monotonic() + 25
    threads = [threading.Thread(target=trickle, args=('127.0.0.%d' % k, port, until)) for k in (2, 3, 4)]
    for thread in threads:
        thread.start()
    time.sleep(1)
    latencies = []
    while time.monotonic() < until - 1:
        latencies.append(ask(port))
        time.sleep(0.05)
    for thread in threads:
        thread.join()
    stop(process)
    return latencies


def idle_connections():
    process, port = start(8)
    idle = [connect_from('127.0.0.5', port) for _ in range(200)]
    first = ask(port)
    latencies = [ask(port) for _ in range(50)]
    for sock in idle:
        sock.close()
    stop(process)
    return first, latencies


def cut_off_alone(result):
    process, port = start(1)
    trickle('127.0.0.6', port, time.monotonic() + 60, result)
    stop(process)


cut = []
alone = threading.Thread(target=cut_off_alone, args=(cut,))
alone.start()
trickled = trickling_clients()
first, after_idle = idle_connections()
alone.join()

p99 = percentile(trickled, 0.99) * 1000
print('Clients that trickle or hold connections (`bench/fairness.py`, websrv alone):')
print()
print('| case | measured | target |')
print('|---|---|---|')
print('| `-j 4`, three clients trickling a byte every 5 s (127.0.0.2-4): an honest client\'s %d requests | '
      'median %.1f ms, p99 %.1f ms | p99 under 50 ms: %s |'
      % (len(trickled), percentile(trickled, 0.5) * 1000, p99, 'met' if p99 < 50 else 'MISSED'))
print('| `-j 8`, one address holding 200 idle connections: an honest client from another | '
      'first answer %.1f ms, p99 of 50 %.1f ms | served at once |'
      % (first * 1000, percentile(after_idle, 0.99) * 1000))
print('| `-j 1`, a client trickling a byte every 5 s | cut off %.1f s after it connected | 30 s |'
      % (cut[0] if cut else -1))
