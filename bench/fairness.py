#!/usr/bin/env python3
"""Clients that trickle or hold connections idle, against websrv: prints a Markdown section.

Usage: fairness.py WEBSRV HTTP_PLUGIN DOCROOT WORKDIR [HTTPS_PLUGIN CERT KEY]

1. "-j 4", three clients (127.0.0.2 to 127.0.0.4) each sending a request header a byte every
   five seconds (and connecting again when cut off), while an honest client (127.0.0.1) asks
   for /1k.bin over and over: its latency, median and 99th percentile (target: under 50 ms).
2. "-j 8", one address (127.0.0.5) holding 200 idle connections, while the honest client asks:
   the latency of its first answer and the 99th percentile of 50 (target: served at once).
3. "-j 1", one client trickling a byte every five seconds: how long after it connected the
   server cut it off (target: 30 s).
4. "-j 1", "-j 4" and "-j 8", each against eight attacking addresses (127.0.0.10 to
   127.0.0.17) that drip headers (four connections each, a byte every half second), hold idle
   connections (125 each: 1,000), or send TLS hellos a byte a second (two each, to https.so's
   port); every attacking connection that is cut off opens again. An honest client asks for
   /1k.bin over and over (over TLS against the TLS hellos): the 99th percentile of its
   latency (target: under 2 s).

Every server runs on a free port outside the kernel's ephemeral range and is stopped by its
process id at the end; one that does not start is reported with the end of its log.
"""
import os
import random
import resource
import selectors
import socket
import ssl
import subprocess
import sys
import threading
import time

websrv, plugin, docroot, work = sys.argv[1:5]
https_plugin, cert, key = (sys.argv[5:8] + [None] * 3)[:3]
REQUEST = b'GET /1k.bin HTTP/1.0\r\n\r\n'
ATTACKERS = ['127.0.0.%d' % k for k in range(10, 18)]
# The start of a TLS 1.2 ClientHello record: what a slow hello has sent so far.
HELLO = bytes([0x16, 0x03, 0x01, 0x00, 0xc8, 0x01, 0x00, 0x00, 0xc4, 0x03, 0x03]) + bytes(range(32))


def ephemeral_range():
    with open('/proc/sys/net/ipv4/ip_local_port_range') as f:
        low, high = f.read().split()
    return int(low), int(high)


PORTS_TAKEN = set()


def free_port():
    """A port no socket uses now, outside the range the kernel picks the local ports of client
    connections from: one picked inside it (as binding port 0 does) can be taken by one of the
    benchmark's own connections, hundreds of thousands of them, before the server binds it."""
    low, high = ephemeral_range()
    outside = [(1024, low - 1), (high + 1, 65535)]
    outside = [(first, last) for first, last in outside if first <= last]
    for _ in range(200):
        if not outside:
            break
        first, last = random.choice(outside)
        port = random.randint(first, last)
        if port in PORTS_TAKEN:
            continue
        with socket.socket() as probe:
            probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the server does
            try:
                probe.bind(('', port))
            except OSError:
                continue
        PORTS_TAKEN.add(port)
        return port
    raise SystemExit('no free port outside the ephemeral range %d-%d' % (low, high))


def log_tail(path, lines=20):
    with open(path, errors='replace') as f:
        return ''.join(f.readlines()[-lines:])


def serving(process, port, tls, seconds=30):
    """None once the server answers a request on `port`; else why not (it exited, or the last
    probe's error when `seconds` passed)."""
    deadline = time.monotonic() + seconds
    failure = None
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return 'it exited with status %s' % process.returncode
        try:
            with connect_from('127.0.0.1', port, tls) as probe:
                probe.settimeout(1)
                probe.sendall(REQUEST)
                probe.recv(1)
            return None
        except OSError as error:
            failure = error
            time.sleep(0.05)
    return 'no answer within %d s (the probe: %s)' % (seconds, failure)


def start(jobs, tls=False, name=None):
    log_path = os.path.join(work, 'fairness-%s.log' % (name or jobs))
    for _ in range(3):
        port = free_port()
        where = ['-plugin', https_plugin, '-tls-port', str(port), '-cert', cert, '-key', key] if tls else \
            ['-plugin', plugin, '-port', str(port)]
        with open(log_path, 'w') as log:
            process = subprocess.Popen([websrv, '-j', str(jobs)] + where + ['-d', docroot],
                                       stdout=log, stderr=subprocess.STDOUT)
        failure = serving(process, port, tls)
        if failure is None:
            return process, port
        stop(process)
        tail = log_tail(log_path)
        if 'Address already in use' not in tail:  # another port helps only then
            break
    raise SystemExit('websrv did not start on port %d: %s. The end of its log (%s):\n%s'
                     % (port, failure, log_path, tail))


def stop(process):
    process.terminate()
    try:
        process.wait(timeout=60)
    except subprocess.TimeoutExpired:
        process.kill()


TLS_CLIENT = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
TLS_CLIENT.check_hostname = False
TLS_CLIENT.verify_mode = ssl.CERT_NONE


def connect_from(source, port, tls=False):
    sock = socket.socket()
    # The port is picked at the connect, for the whole address pair: picked at the bind, it has
    # to be free of every socket of the source address, and after a benchmark's hundreds of
    # thousands of connections in TIME_WAIT none may be.
    sock.setsockopt(socket.IPPROTO_IP, getattr(socket, 'IP_BIND_ADDRESS_NO_PORT', 24), 1)
    sock.bind((source, 0))
    sock.settimeout(60)
    sock.connect(('127.0.0.1', port))
    return TLS_CLIENT.wrap_socket(sock) if tls else sock


def ask(port, tls=False):
    """One honest request from 127.0.0.1; the seconds until the whole answer was in (60 for
    one that failed)."""
    begin = time.monotonic()
    try:
        with connect_from('127.0.0.1', port, tls) as sock:
            sock.sendall(REQUEST)
            answer = b''
            while True:
                piece = sock.recv(65536)
                if not piece:
                    break
                answer += piece
        if not answer.startswith(b'HTTP/1.0 200'):
            return 60
    except OSError:
        return 60
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


def attack(kind, port, until):
    """Keeps the attacking connections of `kind` open from every attacking address until
    `until`, each sending what it sends at its pace; one that is cut off opens again."""
    count, pace, message = {'drip': (4, 0.5, b'GET /1k.bin HTTP/1.0\r\nX-Drip: ' + b'a' * 4000),
                            'idle': (125, None, b''),
                            'hello': (2, 1.0, HELLO)}[kind]
    selector = selectors.DefaultSelector()
    sent = {}

    def open_one(source):
        sock = socket.socket()
        sock.setblocking(False)
        sock.bind((source, 0))
        try:
            sock.connect(('127.0.0.1', port))
        except BlockingIOError:
            pass
        selector.register(sock, selectors.EVENT_READ, source)
        sent[sock] = 0

    for source in ATTACKERS:
        for _ in range(count):
            open_one(source)
    next_byte = time.monotonic()
    while time.monotonic() < until:
        for item, _ in selector.select(timeout=0.1):
            try:
                if item.fileobj.recv(4096):
                    continue
            except BlockingIOError:
                continue
            except OSError:
                pass
            selector.unregister(item.fileobj)
            del sent[item.fileobj]
            item.fileobj.close()
            open_one(item.data)
        if pace is not None and time.monotonic() >= next_byte:
            next_byte += pace
            for sock, done in list(sent.items()):
                if done < len(message):
                    try:
                        sent[sock] += sock.send(message[done:done + 1])
                    except OSError:
                        pass
    for sock in sent:
        sock.close()


def under_attack(jobs, kind):
    """The latencies of an honest client's requests for eight seconds, while `kind` attacks."""
    tls = kind == 'hello'
    process, port = start(jobs, tls, '%s-j%d' % (kind, jobs))
    until = time.monotonic() + 10
    attacker = threading.Thread(target=attack, args=(kind, port, until))
    attacker.start()
    time.sleep(1)
    latencies = []
    while time.monotonic() < until - 1:
        latencies.append(ask(port, tls))
        time.sleep(0.02)
    attacker.join()
    stop(process)
    return latencies


# A thousand idle connections need that many descriptors.
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))

cut = []
alone = threading.Thread(target=cut_off_alone, args=(cut,))
alone.start()
trickled = trickling_clients()
first, after_idle = idle_connections()
alone.join()
kinds = ['drip', 'idle'] + (['hello'] if https_plugin else [])
attacked = {(jobs, kind): under_attack(jobs, kind) for jobs in (1, 4, 8) for kind in kinds}

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
print()
print('Eight attacking addresses against an honest client (127.0.0.1): the 99th percentile of its')
print('latency, target under 2 s; every request that failed counts as 60 s.')
print()
print('| attack | `-j 1` | `-j 4` | `-j 8` | requests | target |')
print('|---|---|---|---|---|---|')
NAMES = {'drip': 'dripping headers, 4 connections each, a byte every 0.5 s',
         'idle': 'idle connections, 125 each (1,000)',
         'hello': 'TLS hellos a byte a second, 2 each (https.so)'}
for kind in kinds:
    p99s = [percentile(attacked[(jobs, kind)], 0.99) for jobs in (1, 4, 8)]
    print('| %s | %s | %d / %d / %d | %s |' % (
        NAMES[kind], ' | '.join('%.0f ms' % (p * 1000) for p in p99s),
        *[len(attacked[(jobs, kind)]) for jobs in (1, 4, 8)], 'met' if max(p99s) < 2 else 'MISSED'))
