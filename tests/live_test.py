#!/usr/bin/env python3
"""Live pages over the wire, against the real binary: WebSocket connections bridged to a program
(-websocket of http.so and https.so), with Python's websockets library as the client and raw
frames for what no library sends; and server-sent events from CGI programs.

Run by ctest (tests/live_tests.cmake), one test class per ctest entry:
    WEBSRV_TEST_SERVER=... WEBSRV_HTTP_PLUGIN=... WEBSRV_HTTPS_PLUGIN=... live_test.py CLASS
Every server listens on a free port and is only ever contacted on loopback addresses.
WEBSRV_KEEP_TEST_DIRS=1 keeps each test's directory (site, programs, server log).
"""
import asyncio
import os
import select
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), 'support'))
from waits import free_port, wait_until  # noqa: E402

import websockets

SERVER = os.environ.get('WEBSRV_TEST_SERVER', '')
HTTP_PLUGIN = os.environ.get('WEBSRV_HTTP_PLUGIN', '')
HTTPS_PLUGIN = os.environ.get('WEBSRV_HTTPS_PLUGIN', '')
RFC_KEY, RFC_ACCEPT = 'dGhlIHNhbXBsZSBub25jZQ==', 's3pPLMBiTxaQ9kYGzzhZRbK+xOo='

# The programs the tests connect to, in sh; each writes its process number to a file first.
PROGRAMS = {
    'echo': 'echo $$ >"$0.pid"; exec cat',
    'env': 'printf "%s|%s|%s|%s|%s|%s|%s\\n" "$REQUEST_METHOD" "$SCRIPT_NAME" "$PATH_INFO" "$QUERY_STRING" '
           '"$HTTP_X_DEMO" "$GATEWAY_INTERFACE" "$REMOTE_ADDR"; exec cat',
    'bye': 'echo bye',
    'ticks': 'echo $$ >"$0.pid"; exec 0<&-; while :; do echo tick; sleep 0.2; done',
    'stubborn': "trap '' TERM; echo $$ >\"$0.pid\"; while :; do sleep 0.1; done",
    'garbled': "printf 'a\\377b\\n'; exec cat",
}
EVENTS = {
    # The second event is written once the test has the first (it makes the file "stream.go"); the
    # comments meanwhile keep the silence limit away.
    'stream': "printf 'Content-Type: text/event-stream\\r\\n\\r\\ndata: one\\n\\n'; "
              "while [ ! -e \"$0.go\" ]; do printf ': wait\\n'; sleep 0.1; done; printf 'data: two\\n\\n'",
    # Two seconds of comments, one every 0.2 s, under a silence limit of one second.
    'comments': "printf 'Content-Type: text/event-stream\\r\\n\\r\\n'; for i in 1 2 3 4 5 6 7 8 9 10; do "
                "printf ': on\\n'; sleep 0.2; done; printf 'data: end\\n\\n'",
    'silent': "printf 'Content-Type: text/event-stream\\r\\n\\r\\ndata: first\\n\\n'; sleep 2; printf 'data: end\\n\\n'",
    'vanish': "trap '' TERM; echo $$ >\"$0.pid\"; printf 'Content-Type: text/event-stream\\r\\n\\r\\ndata: one\\n\\n'; "
              "while :; do sleep 0.1; done",
    'background': "printf 'Content-Type: text/plain\\r\\n\\r\\nanswered\\n'; exec >&- 2>&-; sleep 1.5; touch \"$0.done\"",
}


def alive(pid):
    try:
        with open('/proc/%d/stat' % pid) as f:
            return f.read().rsplit(')', 1)[1].split()[0] != 'Z'
    except OSError:
        return False


class Site:
    """A temporary directory: the programs, a CGI directory, a page, a password file."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='websrv-live-')
        self.www = os.path.join(self.dir, 'www')
        os.makedirs(os.path.join(self.www, 'cgi-bin'))
        with open(os.path.join(self.www, 'page.txt'), 'w') as f:
            f.write('a page\n')
        for name, body in PROGRAMS.items():
            self.script(os.path.join(self.dir, name), body)
        for name, body in EVENTS.items():
            self.script(os.path.join(self.www, 'cgi-bin', name), body)
        hashed = subprocess.run(['openssl', 'passwd', '-6', '-salt', 'websrvtest', 'secret'], capture_output=True,
                                check=True).stdout.decode().strip()
        with open(os.path.join(self.dir, 'users'), 'w') as f:
            f.write('admin:%s\n' % hashed)

    @staticmethod
    def script(path, body):
        with open(path, 'w') as f:
            f.write('#!/bin/sh\n%s\n' % body)
        os.chmod(path, 0o755)

    def pid(self, program):
        """The process number the program (a name of PROGRAMS, or a path) wrote."""
        path = os.path.join(self.dir, program) + '.pid'
        wait_until(lambda: os.path.exists(path) and os.path.getsize(path) > 0, 5)
        with open(path) as f:
            return int(f.read())

    def close(self):
        if os.environ.get('WEBSRV_KEEP_TEST_DIRS'):
            print('kept', self.dir)
        else:
            subprocess.run(['rm', '-rf', self.dir])


class Server:
    """The real binary on the site with every program of PROGRAMS under its own name (and echo
    behind a password at /secret), verbose, its log in a file. A free port another test took
    first is given up for another."""

    def __init__(self, site, plugin, options):
        routes = ['-websocket', '/secret', site.dir + '/echo', '-auth', '/secret', site.dir + '/users']
        for name in PROGRAMS:
            routes += ['-websocket', '/' + name, os.path.join(site.dir, name)]
        for _ in range(3):
            self.port = free_port()
            self.log_path = os.path.join(site.dir, 'server-%d.log' % self.port)
            port_option = ['-port', str(self.port)]
            if plugin == HTTPS_PLUGIN:  # a certificate of its own, made on the first start
                port_option = ['-tls-port', str(self.port), '-cert', site.dir + '/https.crt', '-key',
                               site.dir + '/https.key']
            with open(self.log_path, 'wb') as log:
                self.process = subprocess.Popen(
                    [SERVER, '-v', '-plugin', plugin] + port_option + routes + options + ['-c', 'cgi-bin', '-d', site.www],
                    stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                    env=dict(os.environ, WEBSRV_TEST_PORT_FILE=os.path.join(site.dir, 'webport')))
            wait_until(lambda: self.process.poll() is not None or self.listening(), 10)
            if self.process.poll() is None and self.listening():
                return
            self.stop()
            if 'Address already in use' not in self.log():
                break
        raise RuntimeError('the server did not start:\n' + self.log())

    def listening(self):
        for path in ('/proc/net/tcp', '/proc/net/tcp6'):
            with open(path) as table:
                if any(line.split()[1].endswith(':%04X' % self.port) and line.split()[3] == '0A'
                       for line in table.readlines()[1:]):
                    return True
        return False

    def log(self):
        with open(self.log_path, errors='replace') as f:
            return f.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                return self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
        return self.process.wait(5)


class Raw:
    """A WebSocket client of raw frames, for what no library sends."""

    def __init__(self, port, path='/echo', extra='', version='1.1', method='GET', key=RFC_KEY, upgrade=True,
                 ws_version='13', host=None):
        self.sock = socket.create_connection(('127.0.0.1', port), timeout=10)
        head = '%s %s HTTP/%s\r\nHost: %s\r\n' % (method, path, version, host or '127.0.0.1:%d' % port)
        if upgrade:
            head += 'Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: %s\r\n' % ws_version
        if key:
            head += 'Sec-WebSocket-Key: %s\r\n' % key
        self.sock.sendall((head + extra + '\r\n').encode())
        self.buffer = b''
        while b'\r\n\r\n' not in self.buffer:
            got = self.sock.recv(4096)
            if not got:
                break
            self.buffer += got
        answer, _, self.buffer = self.buffer.partition(b'\r\n\r\n')
        self.head = answer.decode(errors='replace')
        self.status = int(self.head.split(' ')[1]) if self.head else 0

    def send(self, opcode, payload=b'', fin=True, mask=True, rsv=0):
        length = len(payload)
        head = bytes([(0x80 if fin else 0) | rsv | opcode])
        bit = 0x80 if mask else 0
        if length < 126:
            head += bytes([bit | length])
        elif length < 65536:
            head += bytes([bit | 126]) + struct.pack('!H', length)
        else:
            head += bytes([bit | 127]) + struct.pack('!Q', length)
        key = b'\x37\xfa\x21\x3d'
        body = bytes(b ^ key[i % 4] for i, b in enumerate(payload)) if mask else payload
        self.sock.sendall(head + (key if mask else b'') + body)

    def read(self, count):
        while len(self.buffer) < count:
            got = self.sock.recv(65536)
            if not got:
                raise ConnectionError('closed')
            self.buffer += got
        data, self.buffer = self.buffer[:count], self.buffer[count:]
        return data

    def frame(self):
        first, second = self.read(2)
        length = second & 0x7f
        if length >= 126:
            length = struct.unpack('!H' if length == 126 else '!Q', self.read(2 if length == 126 else 8))[0]
        return first & 0x0f, self.read(length)

    def close_code(self):
        """The code of the server's close frame (None for one without), data frames skipped."""
        while True:
            opcode, payload = self.frame()
            if opcode == 8:
                return struct.unpack('!H', payload[:2])[0] if payload else None

    def ended(self):
        """Whether the server closes the connection after its close."""
        try:
            return self.sock.recv(1) == b''
        except OSError:
            return True


def run(coroutine):
    return asyncio.run(asyncio.wait_for(coroutine, 30))


class LiveCase(unittest.TestCase):
    plugin_name = 'http'
    options = []

    @classmethod
    def setUpClass(cls):
        cls.site = Site()
        cls.server = Server(cls.site, HTTPS_PLUGIN if cls.plugin_name == 'https' else HTTP_PLUGIN, cls.options)
        cls.port = cls.server.port

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        cls.site.close()
        assert status == 0, 'the server exited with %s' % status

    def url(self, path):
        return '%s://127.0.0.1:%d%s' % ('wss' if self.plugin_name == 'https' else 'ws', self.port, path)

    def connect(self, path='/echo', **options):
        if self.plugin_name == 'https':
            context = ssl.create_default_context()
            context.check_hostname, context.verify_mode = False, ssl.CERT_NONE
            options['ssl'] = context
        return websockets.connect(self.url(path), **options)


class Handshake(LiveCase):
    def test_answers_by_request(self):
        rows = [  # name, Raw options, status, lines the answer must hold
            ('the sample key of the protocol', {}, 101, ['Sec-WebSocket-Accept: ' + RFC_ACCEPT, 'Upgrade: websocket']),
            ('a page of the same origin', {'extra': 'Origin: http://127.0.0.1:%d\r\n' % self.port}, 101, []),
            ('no upgrade', {'upgrade': False}, 400, []),
            ('another version', {'ws_version': '8'}, 426, ['Upgrade: websocket', 'Sec-WebSocket-Version: 13']),
            ('no key', {'key': None}, 400, []),
            ('a key of 15 bytes', {'key': 'AAAAAAAAAAAAAAAAAAAAAA='}, 400, []),
            ('HTTP/1.0', {'version': '1.0'}, 400, []),
            ('POST', {'method': 'POST'}, 400, []),
            ('a foreign page', {'extra': 'Origin: http://evil.example\r\n'}, 403, []),
            ('a page whose host only begins with this one',
             {'extra': 'Origin: http://127.0.0.1:%d.evil.example\r\n' % self.port}, 403, []),
            ('a protected path without a password', {'path': '/secret'}, 401, []),
            ('a protected path with it', {'path': '/secret', 'extra': 'Authorization: Basic YWRtaW46c2VjcmV0\r\n'}, 101, []),
        ]
        for name, options, status, lines in rows:
            with self.subTest(name):
                client = Raw(self.port, **options)
                self.assertEqual(client.status, status, client.head)
                for line in lines:
                    self.assertIn(line, client.head.split('\r\n'))
                client.sock.close()

    def test_the_library_checks_the_accept_and_gets_the_environment(self):
        async def exchange():
            async with self.connect('/env/extra?a=b', extra_headers={'X-Demo': 'yes'}) as ws:
                return await ws.recv()
        self.assertEqual(run(exchange()), 'GET|/env|/extra|a=b|yes|CGI/1.1|127.0.0.1')


class Messages(LiveCase):
    def test_echo_fragments_and_ping(self):
        texts = ['hello', '', 'é✓ ünïcode 𝄞', '\x00nul and\rcr', 'x' * 65536]

        async def exchange():
            async with self.connect(max_size=2 ** 20) as ws:
                answers = []
                for text in texts:
                    await ws.send(text)
                    answers.append(await ws.recv())
                await ws.send(['frag', 'ment', 'ed ✓'])  # one message in three frames
                answers.append(await ws.recv())
                await (await ws.ping(b'are you there'))
                return answers
        self.assertEqual(run(exchange()), texts + ['fragmented ✓'])

    def test_close_codes(self):
        rows = [  # name, frames (opcode, payload, options), the server's close code
            ('a close is answered with its code', [(8, b'\x03\xe8', {})], 1000),
            ('an application code too', [(8, b'\x0f\xa0bye', {})], 4000),
            ('a close without a code', [(8, b'', {})], None),
            ('a code for a restart', [(8, b'\x03\xf4', {})], 1012),
            ('a code no endpoint sends', [(8, b'\x03\xed', {})], 1002),
            ('a one-byte close', [(8, b'\x03', {})], 1002),
            ('a reason that is no UTF-8', [(8, b'\x03\xe8\xff', {})], 1007),
            ('an unmasked frame', [(1, b'hi', {'mask': False})], 1002),
            ('a reserved bit', [(1, b'hi', {'rsv': 0x40})], 1002),
            ('an unknown opcode', [(3, b'', {})], 1002),
            ('a continuation of nothing', [(0, b'x', {})], 1002),
            ('a message inside a message', [(1, b'a', {'fin': False}), (1, b'b', {})], 1002),
            ('a ping of 126 bytes', [(9, b'x' * 126, {})], 1002),
            ('a fragmented ping', [(9, b'x', {'fin': False})], 1002),
            ('text that is no UTF-8', [(1, b'\xc3\x28', {})], 1007),
            ('an overlong form', [(1, b'\xf0\x80\x80\xaf', {})], 1007),
            ('a surrogate', [(1, b'a', {'fin': False}), (0, b'\xed\xa0\x80', {})], 1007),
            ('a message over 64 KiB', [(1, b'x' * 40000, {'fin': False}), (0, b'x' * 30000, {})], 1009),
            ('a binary message', [(2, b'\x00', {})], 1003),
            ('a line feed in a message', [(1, b'two\nlines', {})], 1003),
        ]
        for name, frames, code in rows:
            with self.subTest(name):
                client = Raw(self.port)
                self.assertEqual(client.status, 101)
                for opcode, payload, options in frames:
                    client.send(opcode, payload, **options)
                if code in (1003,):
                    client.send(8, b'\x03\xe8')  # the answer the server waits for
                self.assertEqual(client.close_code(), code)
                self.assertTrue(client.ended())

    def test_frames_at_the_edges_are_answered(self):
        rows = [  # name, frames (opcode, payload, options), the frames the server answers with
            ('a ping of 125 bytes', [(9, b'x' * 125, {})], [(10, b'x' * 125)]),
            ('an empty first fragment', [(1, b'', {'fin': False}), (0, b'ab', {})], [(1, b'ab')]),
            ('an empty last fragment', [(1, b'ab', {'fin': False}), (0, b'', {})], [(1, b'ab')]),
        ]
        for name, frames, answers in rows:
            with self.subTest(name):
                client = Raw(self.port)
                self.assertEqual(client.status, 101)
                for opcode, payload, options in frames:
                    client.send(opcode, payload, **options)
                self.assertEqual([client.frame() for _ in answers], answers)
                client.send(8, b'\x03\xe8')
                self.assertEqual(client.close_code(), 1000)
                self.assertTrue(client.ended())

    def test_oversized_message_from_the_library(self):
        async def exchange():
            async with self.connect() as ws:
                await ws.send('y' * 65537)
                await ws.wait_closed()
                return ws.close_code
        self.assertEqual(run(exchange()), 1009)

    def test_a_line_that_is_no_utf8_arrives_replaced(self):
        async def exchange():
            async with self.connect('/garbled') as ws:
                return await ws.recv()
        self.assertEqual(run(exchange()), 'a\ufffdb')


class Programs(LiveCase):
    def test_a_program_that_exits_at_once_closes_with_1000(self):
        async def exchange():
            async with self.connect('/bye') as ws:
                message = await ws.recv()
                await ws.wait_closed()
                return message, ws.close_code
        self.assertEqual(run(exchange()), ('bye', 1000))

    def test_a_program_that_ignores_its_input_goes_on_until_the_close(self):
        async def exchange():
            async with self.connect('/ticks') as ws:
                for text in ('one', 'two', 'three'):
                    await ws.send(text)
                return [await ws.recv() for _ in range(4)]
        self.assertEqual(run(exchange()), ['tick'] * 4)
        self.assertTrue(wait_until(lambda: not alive(self.site.pid('ticks')), 2))

    def test_the_clients_end_ends_the_program_within_two_seconds(self):
        for name, close in (('a close', True), ('a client that vanishes', False)):
            with self.subTest(name):
                for program in ('echo', 'stubborn'):
                    pid_path = os.path.join(self.site.dir, program + '.pid')
                    if os.path.exists(pid_path):
                        os.unlink(pid_path)
                    client = Raw(self.port, '/' + program)
                    pid = self.site.pid(program)
                    if close:
                        client.send(8, b'\x03\xe8')
                        self.assertEqual(client.close_code(), 1000)
                    client.sock.close()
                    started = time.monotonic()
                    self.assertTrue(wait_until(lambda: not alive(pid), 2.5), program)
                    self.assertLess(time.monotonic() - started, 2.0, program)


class Secure(LiveCase):
    """wss:// with the TLS in the engine (one request per connection)."""
    plugin_name = 'https'

    def test_echo(self):
        async def exchange():
            async with self.connect() as ws:
                await ws.send('secure ✓')
                first = await ws.recv()
                await ws.send(['in ', 'pieces'])
                return first, await ws.recv()
        self.assertEqual(run(exchange()), ('secure ✓', 'in pieces'))


class SecureInside(Secure):
    """wss:// with the TLS in the connection's own process (-k)."""
    options = ['-k', '5']


class HandshakeHosts(LiveCase):
    """With -host, a page of a name an attacker points at the device (DNS rebinding: Host and
    Origin agree) reaches no program; the device's names and address do."""
    options = ['-host', 'device']

    def test_only_the_devices_names_open_a_connection(self):
        rows = [  # name, Host, Origin (None: none), status
            ('a listed name, its own page', 'device:%d' % self.port, 'http://device:%d' % self.port, 101),
            ('the address, its own page', '127.0.0.1:%d' % self.port, 'http://127.0.0.1:%d' % self.port, 101),
            ('a listed name, no Origin', 'device', None, 101),
            ('a rebound name', 'evil.example', 'http://evil.example', 421),
            ('a longer name in the Origin', 'device', 'http://device.evil.example', 403),
            ('another port in the Origin', 'device:%d' % self.port, 'http://device:1', 403),
        ]
        for name, host, origin, status in rows:
            with self.subTest(name):
                client = Raw(self.port, host=host, extra='Origin: %s\r\n' % origin if origin else '')
                self.assertEqual(client.status, status, client.head)
                client.sock.close()


class ServerPing(LiveCase):
    def test_twenty_seconds_of_silence_bring_a_ping(self):
        client = Raw(self.port)
        started = time.monotonic()
        client.sock.settimeout(30)
        opcode, _ = client.frame()
        pinged = time.monotonic()
        self.assertEqual(opcode, 9)
        self.assertGreater(pinged - started, 19)
        client.send(10)  # the pong; the connection goes on
        # A client that answered and keeps talking is kept past the 20 s a ping waits for its
        # answer (each message comes back well before the server would ping again).
        count = 0
        while time.monotonic() - pinged < 25:
            count += 1
            client.send(1, b'still here %d' % count)
            self.assertEqual(client.frame(), (1, b'still here %d' % count))
            time.sleep(1)


class EventsCase(LiveCase):
    """Requests for CGI programs, read to their end."""

    def request(self, path, source='127.0.0.1'):
        sock = socket.socket()
        sock.bind((source, 0))
        sock.settimeout(10)
        sock.connect(('127.0.0.1', self.port))
        sock.sendall(('GET %s HTTP/1.1\r\nHost: device\r\nAccept: text/event-stream\r\n\r\n' % path).encode())
        return sock

    @staticmethod
    def read_all(sock):
        data = b''
        while True:
            got = sock.recv(4096)
            if not got:
                return data.decode()
            data += got


class Events(EventsCase):
    """Server-sent events from CGI programs (-t 1: silence counts, comments are output)."""
    options = ['-t', '1']

    def test_events_arrive_as_written(self):
        sock = self.request('/cgi-bin/stream')
        first = b''
        while b'data: one' not in first:
            first += sock.recv(4096)
        # The program writes the second only once this has the first.
        with open(os.path.join(self.site.www, 'cgi-bin', 'stream.go'), 'w'):
            pass
        self.assertTrue(self.read_all(sock).endswith('data: two\n\n'))

    def test_silence_limit_counts_silence_and_comments_are_output(self):
        for program, ending in (('comments', 'data: end\n\n'), ('silent', 'data: first\n\n')):
            with self.subTest(program):
                self.assertTrue(self.read_all(self.request('/cgi-bin/' + program)).endswith(ending))

    def test_a_program_that_closed_its_output_works_on(self):
        done = os.path.join(self.site.www, 'cgi-bin', 'background.done')
        self.assertTrue(self.read_all(self.request('/cgi-bin/background')).endswith('\r\n\r\nanswered\n'))
        self.assertFalse(os.path.exists(done))
        self.assertTrue(wait_until(lambda: os.path.exists(done), 5))


class EventsAlone(EventsCase):
    """An events program that stays silent, in the only slot (-j 1)."""
    options = ['-j', '1']

    def test_a_client_that_vanishes_ends_the_program_within_two_seconds(self):
        sock = self.request('/cgi-bin/vanish')
        pid = self.site.pid(os.path.join(self.site.www, 'cgi-bin', 'vanish'))
        received = b''
        while b'data: one' not in received:
            received += sock.recv(4096)
        # It holds the only slot meanwhile: a request from elsewhere waits.
        other = self.request('/page.txt', '127.0.0.2')
        self.assertEqual(select.select([other], [], [], 1)[0], [])
        sock.close()
        started = time.monotonic()
        self.assertTrue(wait_until(lambda: not alive(pid), 2.5))
        self.assertLess(time.monotonic() - started, 2.0)
        self.assertIn('200', self.read_all(other).split('\r\n')[0])
        self.assertIn('CGI program cgi-bin/vanish lost its client; ending it', self.server.log())


if __name__ == '__main__':
    if len(sys.argv) != 2 or not all((SERVER, HTTP_PLUGIN)):
        sys.exit('usage: WEBSRV_TEST_SERVER=... WEBSRV_HTTP_PLUGIN=... WEBSRV_HTTPS_PLUGIN=... live_test.py CLASS')
    unittest.main(argv=[sys.argv[0], sys.argv[1]], verbosity=2)
