#!/usr/bin/env python3
"""What a password check costs for a name that is in the file and for one that is not.

Starts the server with http.so and "-auth /admin FILE", FILE holding the README's example
users: "admin" with a bcrypt hash (htpasswd -B, cost 5) and "viewer" with a yescrypt hash
(mkpasswd's default). Then asks for /admin/secret.txt with a wrong password, in rounds of one
request per name ("nobody" is not in the file), and prints the median time of each name and
its ratio to the missing name's. Each request comes from its own loopback address in turn
(127.0.2.x), so that the limiter never blocks one (ten failures in a minute would).

    bench/auth_timing.py [SERVER [HTTP_PLUGIN]] [--rounds N]

SERVER defaults to build/tests/websrv-test (the test build's, whose port file is not the
device's), HTTP_PLUGIN to build/plugins/http.so.
"""
import argparse
import base64
import ctypes
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def crypt_hash(password, prefix, count=0):
    """A crypt(3) hash of `password` by the method of `prefix`, from libcrypt itself."""
    lib = ctypes.CDLL('libcrypt.so.1')
    lib.crypt_gensalt.restype = ctypes.c_char_p
    lib.crypt.restype = ctypes.c_char_p
    setting = lib.crypt_gensalt(prefix.encode(), count, None, 0)
    return lib.crypt(password.encode(), setting).decode()


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def ask(port, source, user):
    credentials = base64.b64encode(('%s:wrong' % user).encode()).decode()
    request = ('GET /admin/secret.txt HTTP/1.0\r\nAuthorization: Basic %s\r\n\r\n' % credentials).encode()
    with socket.socket() as s:
        s.bind((source, 0))
        started = time.perf_counter()
        s.connect(('127.0.0.1', port))
        s.sendall(request)
        answer = b''
        while chunk := s.recv(4096):
            answer += chunk
        took = time.perf_counter() - started
    if not answer.startswith(b'HTTP/1.0 401 '):
        sys.exit('unexpected answer: %r' % answer[:60])
    return took * 1000


def main():
    parser = argparse.ArgumentParser()
    # The test build's server by default: it takes its port file from WEBSRV_TEST_PORT_FILE,
    # so the device's own is never touched.
    parser.add_argument('server', nargs='?', default=os.path.join(ROOT, 'build', 'tests', 'websrv-test'))
    parser.add_argument('plugin', nargs='?', default=os.path.join(ROOT, 'build', 'plugins', 'http.so'))
    parser.add_argument('--rounds', type=int, default=30)
    args = parser.parse_args()
    args.server, args.plugin = os.path.abspath(args.server), os.path.abspath(args.plugin)
    with tempfile.TemporaryDirectory() as work:
        www = os.path.join(work, 'www')
        os.makedirs(os.path.join(www, 'admin'))
        with open(os.path.join(www, 'admin', 'secret.txt'), 'w') as f:
            f.write('secret\n')
        users = os.path.join(work, 'users')
        with open(users, 'w') as f:
            f.write('admin:%s\nviewer:%s\n' % (crypt_hash('a', '$2b$', 5), crypt_hash('v', '$y$')))
        port = free_port()
        server = subprocess.Popen([args.server, '-plugin', args.plugin, '-port', str(port), '-auth', '/admin', users,
                                   '-d', www], cwd=work, stdout=subprocess.DEVNULL,
                                  env=dict(os.environ, WEBSRV_TEST_PORT_FILE=os.path.join(work, 'webport')))
        try:
            for _ in range(100):
                try:
                    socket.create_connection(('127.0.0.1', port), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.05)
            names = ['nobody', 'admin', 'viewer']
            times = {name: [] for name in names}
            sent = 0
            for round_number in range(args.rounds + 1):
                for name in names:
                    source = '127.0.2.%d' % (1 + sent // 9)
                    sent += 1
                    took = ask(port, source, name)
                    if round_number > 0:  # the first round warms up
                        times[name].append(took)
        finally:
            server.terminate()
            server.wait()
    missing = statistics.median(times['nobody'])
    for name, label in (('nobody', 'not in the file'), ('admin', 'bcrypt, cost 5'), ('viewer', 'yescrypt')):
        median = statistics.median(times[name])
        print('%-8s %-16s median %7.2f ms  (%.2f of the missing name\'s)' % (name, label, median, median / missing))


if __name__ == '__main__':
    main()
