#!/usr/bin/env python3
"""https.so over the wire, against the real binary: verification against a test CA made here
with the openssl command, protocols and suites, renegotiation, resumption by ticket, large
transfers, a half-closing client, first-boot certificates and refused pairs, the plain port's
redirect, the TLS engine and its fallback, and a stalled handshake.

Run by ctest (tests/tls_tests.cmake), one test class per ctest entry:
    WEBSRV_TEST_SERVER=... WEBSRV_HTTPS_PLUGIN=... CGI_PRINTENV=... tls_test.py CLASS
Every server listens on a free port and is only ever contacted on 127.0.0.1.
WEBSRV_KEEP_TEST_DIRS=1 keeps each test's directory (site, certificates, server log).
"""
import hashlib
import http.client
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), 'support'))
from waits import free_port, wait_until  # noqa: E402

SERVER = os.environ.get('WEBSRV_TEST_SERVER', '')
HTTPS_PLUGIN = os.environ.get('WEBSRV_HTTPS_PLUGIN', '')
PRINTENV = os.environ.get('CGI_PRINTENV', '')
HOSTNAME = socket.gethostname()


def listening(port):
    """Whether a socket listens on the TCP port, as the kernel's table shows it (no connection)."""
    for path in ('/proc/net/tcp', '/proc/net/tcp6'):  # the server's sockets are IPv6 and IPv4
        with open(path) as table:
            for line in table.readlines()[1:]:
                fields = line.split()
                if fields[1].endswith(':%04X' % port) and fields[3] == '0A':
                    return True
    return False


def run(command, stdin=None, timeout=30):
    return subprocess.run(command, input=stdin, capture_output=True, timeout=timeout)


def openssl(*arguments):
    result = run(['openssl'] + list(arguments))
    if result.returncode != 0:
        raise RuntimeError('openssl %s: %s' % (arguments[0], result.stderr.decode()))


class TestCA:
    """A root CA, an intermediate CA and a server certificate for 127.0.0.1 and localhost, signed
    by the intermediate; server.crt holds the server's certificate and the intermediate's."""

    def __init__(self, directory):
        self.dir = directory
        ext = os.path.join(directory, 'ext.cnf')
        with open(ext, 'w') as f:
            f.write('[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n'
                    '[server]\nbasicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n'
                    'extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n')
        self.root = self.path('root.crt')
        self.key = self.path('server.key')
        self.cert = self.path('server.crt')
        self.other_key = self.path('other.key')
        for name in ('root', 'mid', 'server', 'other'):
            openssl('genpkey', '-algorithm', 'EC', '-pkeyopt', 'ec_paramgen_curve:P-256', '-out', self.path(name + '.key'))
        openssl('req', '-x509', '-new', '-key', self.path('root.key'), '-subj', '/CN=websrv test root', '-days', '2',
                '-extensions', 'ca', '-config', ext, '-out', self.root)
        self.sign('mid', 'root', '/CN=websrv test intermediate', 'ca', ext)
        self.sign('server', 'mid', '/CN=localhost', 'server', ext)
        with open(self.cert, 'ab') as chain, open(self.path('mid.crt'), 'rb') as mid:
            chain.write(mid.read())
        os.chmod(self.key, 0o600)

    def path(self, name):
        return os.path.join(self.dir, name)

    def sign(self, name, issuer, subject, section, ext):
        openssl('req', '-new', '-key', self.path(name + '.key'), '-subj', subject, '-out', self.path(name + '.csr'))
        openssl('x509', '-req', '-in', self.path(name + '.csr'), '-CA', self.path(issuer + '.crt'),
                '-CAkey', self.path(issuer + '.key'), '-CAcreateserial', '-days', '2', '-extfile', ext,
                '-extensions', section, '-out', self.path(name + '.crt'))


class Workspace:
    """A temporary directory with a site "www" (pages, a directory index, printenv as a CGI
    program, a 1 KiB file), removed at the end unless WEBSRV_KEEP_TEST_DIRS is set."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix='websrv-tls-')
        self.www = os.path.join(self.dir, 'www')
        os.makedirs(os.path.join(self.www, 'cgi-bin'))
        os.makedirs(os.path.join(self.www, 'sub'))
        self.put('page.txt', b'a page over TLS\n')
        self.put('sub/index.html', b'<p>sub</p>\n')
        os.symlink(PRINTENV, os.path.join(self.www, 'cgi-bin', 'printenv'))

    def put(self, name, data):
        with open(os.path.join(self.www, name), 'wb') as f:
            f.write(data)

    def path(self, name):
        return os.path.join(self.dir, name)

    def close(self):
        if os.environ.get('WEBSRV_KEEP_TEST_DIRS'):
            print('kept', self.dir)
        else:
            subprocess.run(['rm', '-rf', self.dir])


class Server:
    """The real binary with https.so on the workspace's site, verbose, its log in a file."""

    def __init__(self, work, options, ports):
        self.work = work
        self.log_path = work.path('server-%d.log' % ports[0])
        with open(self.log_path, 'wb') as log:
            self.process = subprocess.Popen(
                [SERVER, '-v', '-plugin', HTTPS_PLUGIN] + options + ['-c', 'cgi-bin', '-d', work.www],
                stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                env=dict(os.environ, WEBSRV_TEST_PORT_FILE=work.path('webport')))
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and self.process.poll() is None and not all(map(listening, ports)):
            time.sleep(0.02)
        if self.process.poll() is not None or not all(map(listening, ports)):
            self.stop()
            raise RuntimeError('the server did not start:\n' + self.log())

    def log(self):
        with open(self.log_path, errors='replace') as f:
            return f.read()

    def engine_pid(self):
        """The TLS engine's process, from the log (it may take a moment to appear there)."""
        pattern = re.compile(r'TLS engine PID:(\d+)')
        wait_until(lambda: pattern.search(self.log()), 5)
        found = pattern.search(self.log())
        return int(found.group(1)) if found else None

    def children(self):
        """The server's child processes now, but the one that waits for the next connection."""
        pids = []
        for entry in os.listdir('/proc'):
            try:
                with open('/proc/%s/stat' % entry) as f:
                    stat = f.read()
                    if (entry.isdigit() and int(stat.rsplit(')', 1)[1].split()[1]) == self.process.pid
                            and '(websrv-waiting)' not in stat):
                        pids.append(int(entry))

            except (OSError, ValueError, IndexError):
                pass
        return pids

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                return self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                return self.process.wait(5)
        return self.process.returncode


def start_server(work, options, ports):
    return Server(work, options, ports)


def run_to_exit(work, options):
    """Runs the server with options that must stop it at start-up; its status and log."""
    result = run([SERVER, '-plugin', HTTPS_PLUGIN, '-tls-port', str(free_port())] + options + ['-d', work.www],
                 timeout=20)
    return result.returncode, result.stdout.decode(errors='replace')


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


def fnv(data):
    value = 2166136261
    for byte in data:
        value = ((value ^ byte) * 16777619) & 0xffffffff
    return value


class TlsCase(unittest.TestCase):
    """One server on a TLS port with the test CA's chain for each test class."""
    options = []

    @classmethod
    def setUpClass(cls):
        cls.work = Workspace()
        cls.ca = TestCA(cls.work.dir)
        cls.port = free_port()
        cls.server = start_server(cls.work, ['-tls-port', str(cls.port), '-cert', cls.ca.cert, '-key', cls.ca.key]
                                  + cls.options, [cls.port])

    @classmethod
    def tearDownClass(cls):
        status = cls.server.stop()
        cls.work.close()
        assert status == 0, 'the server exited with %s' % status

    def context(self, **limits):
        context = ssl.create_default_context(cafile=self.ca.root)
        for name, value in limits.items():
            setattr(context, name, value)
        return context

    def request(self, method, path, body=None, headers=None, context=None, host='127.0.0.1'):
        connection = http.client.HTTPSConnection(host, self.port, context=context or self.context(), timeout=30)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            version = connection.sock.version()
            response = connection.getresponse()
            return response, response.read(), version
        finally:
            connection.close()

    def s_client(self, *options, stdin=b''):
        return run(['openssl', 's_client', '-connect', '127.0.0.1:%d' % self.port, '-CAfile', self.ca.root]
                   + list(options), stdin=stdin, timeout=20)


class Handshake(TlsCase):
    def test_curl_and_python_verify_the_chain_against_the_test_ca(self):
        for host in ('127.0.0.1', 'localhost'):
            result = run(['curl', '-sS', '--cacert', self.ca.root, '--resolve', 'localhost:%d:127.0.0.1' % self.port,
                          'https://%s:%d/page.txt' % (host, self.port)])
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(result.stdout, b'a page over TLS\n')
        response, body, version = self.request('GET', '/page.txt')
        self.assertEqual((response.status, body, version), (200, b'a page over TLS\n', 'TLSv1.3'))
        # A client that trusts another root refuses the server.
        other = ssl.create_default_context(cafile=self.ca.path('mid.crt'))
        other.verify_flags &= ~ssl.VERIFY_X509_PARTIAL_CHAIN
        with self.assertRaises(ssl.SSLCertVerificationError):
            self.request('GET', '/page.txt', context=other)

    def test_tls12_uses_forward_secret_aead_suites_only(self):
        response, body, version = self.request('GET', '/page.txt', context=self.context(
            maximum_version=ssl.TLSVersion.TLSv1_2))
        self.assertEqual((response.status, version), (200, 'TLSv1.2'))
        for suite in ('AES128-GCM-SHA256', 'ECDHE-ECDSA-AES128-SHA', 'ECDHE-ECDSA-AES256-SHA384'):
            result = self.s_client('-tls1_2', '-cipher', suite)
            self.assertNotEqual(result.returncode, 0, suite)
            self.assertIn(b'handshake failure', result.stdout + result.stderr, suite)

    def test_tls11_and_older_are_refused(self):
        for protocol in ('-tls1_1', '-tls1'):
            result = self.s_client(protocol, '-cipher', 'DEFAULT@SECLEVEL=0')
            self.assertNotEqual(result.returncode, 0, protocol)
            self.assertRegex((result.stdout + result.stderr).decode(), 'protocol version|unsupported protocol', protocol)

    def test_renegotiation_is_refused(self):
        process = subprocess.Popen(['openssl', 's_client', '-tls1_2', '-connect', '127.0.0.1:%d' % self.port,
                                    '-CAfile', self.ca.root], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT)
        time.sleep(0.5)
        process.stdin.write(b'R\n')
        process.stdin.flush()
        time.sleep(0.5)
        output = process.communicate(timeout=20)[0].decode(errors='replace')
        self.assertIn('RENEGOTIATING', output)
        self.assertRegex(output, 'no renegotiation|alert')
        response, _, _ = self.request('GET', '/page.txt')
        self.assertEqual(response.status, 200)

    def test_sessions_resume_by_ticket_across_connections(self):
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            context = self.context(minimum_version=version, maximum_version=version)
            session = None
            for attempt in range(3):
                with socket.create_connection(('127.0.0.1', self.port), timeout=10) as raw:
                    with context.wrap_socket(raw, server_hostname='localhost', session=session) as tls:
                        tls.sendall(b'GET /page.txt HTTP/1.0\r\n\r\n')
                        answer = b''
                        while chunk := tls.recv(4096):
                            answer += chunk
                        self.assertTrue(answer.startswith(b'HTTP/1.0 200'), answer)
                        self.assertEqual(tls.session_reused, attempt > 0, (version, attempt))
                        session = tls.session


class Transfers(TlsCase):
    options = ['-header', 'Strict-Transport-Security: max-age=31536000']

    def test_a_1_mib_post_reaches_a_program_whole_with_https_on(self):
        body = os.urandom(1 << 20)
        response, answer, _ = self.request('POST', '/cgi-bin/printenv', body=body,
                                           headers={'Content-Type': 'application/octet-stream'})
        text = answer.decode(errors='replace')
        self.assertEqual(response.status, 200)
        self.assertIn('input_length=%d\n' % len(body), text)
        self.assertIn('input_hash=%08x\n' % fnv(body), text)
        self.assertIn('env=[HTTPS=on]', text)
        self.assertIn('env=[REMOTE_ADDR=127.0.0.1]', text)

    def test_a_64_mib_download_arrives_whole(self):
        data = os.urandom(1 << 20) * 64
        self.work.put('big.bin', data)
        for limits in ({}, {'maximum_version': ssl.TLSVersion.TLSv1_2}):
            connection = http.client.HTTPSConnection('127.0.0.1', self.port, context=self.context(**limits), timeout=60)
            connection.request('GET', '/big.bin')
            response = connection.getresponse()
            digest = hashlib.sha256()
            size = 0
            while chunk := response.read(1 << 16):
                digest.update(chunk)
                size += len(chunk)
            connection.close()
            self.assertEqual((response.status, size), (200, len(data)), limits)
            self.assertEqual(digest.hexdigest(), hashlib.sha256(data).hexdigest(), limits)

    def test_header_lines_go_into_every_answer(self):
        for path, status in (('/page.txt', 200), ('/missing', 404), ('/cgi-bin/printenv', 200), ('/sub', 301)):
            response, _, _ = self.request('GET', path)
            self.assertEqual(response.status, status, path)
            self.assertEqual(response.getheader('Strict-Transport-Security'), 'max-age=31536000', path)

    def test_a_client_that_half_closes_gets_its_answer(self):
        incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        tls = self.context().wrap_bio(incoming, outgoing, server_hostname='localhost')
        with socket.create_connection(('127.0.0.1', self.port), timeout=10) as raw:
            def flush():
                if outgoing.pending:
                    raw.sendall(outgoing.read())

            def pump(step):
                while True:
                    try:
                        result = step()
                    except ssl.SSLWantReadError:
                        flush()
                        data = raw.recv(65536)
                        if data:
                            incoming.write(data)
                        else:
                            incoming.write_eof()
                        continue
                    flush()
                    return result
            pump(tls.do_handshake)
            tls.write(b'GET /page.txt HTTP/1.0\r\n\r\n')
            flush()
            raw.shutdown(socket.SHUT_WR)  # no close_notify: the TCP stream just ends
            answer = b''
            while True:
                try:
                    chunk = pump(lambda: tls.read(65536))
                except (ssl.SSLZeroReturnError, ssl.SSLEOFError):
                    break
                if not chunk:
                    break
                answer += chunk
        self.assertTrue(answer.startswith(b'HTTP/1.0 200'), answer)
        self.assertTrue(answer.endswith(b'a page over TLS\n'), answer)

    def test_no_process_is_left_behind(self):
        for _ in range(20):
            response, _, _ = self.request('GET', '/cgi-bin/printenv')
            self.assertEqual(response.status, 200)
        self.assertTrue(wait_until(lambda: not self.server.children(), 5), self.server.children())
        engine = self.server.engine_pid()
        self.assertIsNotNone(engine, self.server.log())
        self.assertTrue(alive(engine))
        # The engine holds its control socket, its connections and the log, nothing else.
        self.assertTrue(wait_until(lambda: len(os.listdir('/proc/%d/fd' % engine)) <= 4, 5),
                        os.listdir('/proc/%d/fd' % engine))


class Lasting(TlsCase):
    """Keep-alive and processes that serve many connections: the TLS connection lives in the
    connection's own process."""
    options = ['-j', '2', '-k', '5', '-r', '100', '-status', '/status']

    def test_one_connection_carries_request_after_request(self):
        connection = http.client.HTTPSConnection('127.0.0.1', self.port, context=self.context(), timeout=30)
        first_socket = None
        # The server's answers keep the connection, and so do the plug-ins', which the server
        # composes for them (the status, the stock redirect of a directory).
        cases = [('GET', '/page.txt', None, 200, b'a page over TLS\n', 'keep-alive'),
                 ('HEAD', '/page.txt', None, 200, b'', 'keep-alive'),
                 ('GET', '/missing', None, 404, None, 'keep-alive'),
                 ('POST', '/page.txt', os.urandom(60000), 200, b'a page over TLS\n', 'keep-alive'),
                 ('GET', '/page.txt', None, 200, b'a page over TLS\n', 'keep-alive'),
                 ('GET', '/status', None, 200, None, 'keep-alive'),
                 ('GET', '/sub', None, 301, None, 'keep-alive')]
        for method, path, body, status, content, kept in cases:
            connection.request(method, path, body=body)
            response = connection.getresponse()
            answer = response.read()
            first_socket = first_socket or connection.sock
            self.assertIn(connection.sock, (first_socket, None), (method, path))
            self.assertEqual((response.status, response.getheader('Connection')), (status, kept), path)
            if content is not None:
                self.assertEqual(answer, content, path)
        connection.close()

    def test_a_session_resumes_in_another_process(self):
        pids = re.compile(r'Incoming request handled by PID:(\d+)')
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            logged_before = len(pids.findall(self.server.log()))
            context = self.context(minimum_version=version, maximum_version=version)
            # The first connection stays open, idle: its process is busy with it, and the
            # second connection goes to the other one.
            held = http.client.HTTPSConnection('127.0.0.1', self.port, context=context, timeout=30)
            held.request('GET', '/page.txt')
            self.assertEqual(held.getresponse().read(), b'a page over TLS\n')
            with socket.create_connection(('127.0.0.1', self.port), timeout=10) as raw:
                with context.wrap_socket(raw, server_hostname='localhost', session=held.sock.session) as tls:
                    tls.sendall(b'GET /page.txt HTTP/1.0\r\n\r\n')
                    answer = b''
                    while chunk := tls.recv(4096):
                        answer += chunk
                    self.assertTrue(answer.endswith(b'a page over TLS\n'), answer)
                    self.assertTrue(tls.session_reused, version)
            held.close()
            # Each process writes its own line into the log, the second maybe after this point.
            wait_until(lambda: len(pids.findall(self.server.log())) >= logged_before + 2, 10)
            served_by = pids.findall(self.server.log())[logged_before:]
            self.assertEqual(len(set(served_by)), 2, (version, served_by))


class Renewal(unittest.TestCase):
    """SIGUSR1 makes https.so read its certificate and key again: a client then sees the new
    certificate, in the default mode (the engine carries TLS) and with processes that last; a
    bad new pair leaves the one in use."""

    def served_certificate(self, port):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        with socket.create_connection(('127.0.0.1', port), timeout=10) as raw:
            with context.wrap_socket(raw) as tls:
                return tls.getpeercert(binary_form=True)

    def test_a_renewed_pair_is_served_after_sigusr1_and_a_bad_one_is_not(self):
        work = Workspace()
        self.addCleanup(work.close)
        first, second = TestCA(work.dir), TestCA(tempfile.mkdtemp(dir=work.dir))
        # The server's own certificate: the first of its chain file.
        der = lambda ca: ssl.PEM_cert_to_DER_cert(open(ca.cert).read().split('-----END CERTIFICATE-----')[0] +
                                                  '-----END CERTIFICATE-----\n')
        cert, key = work.path('https.crt'), work.path('https.key')

        def install(cert_from, key_from):
            for source, target in ((cert_from, cert), (key_from, key)):
                with open(source, 'rb') as f, open(target + '.new', 'wb') as out:
                    out.write(f.read())
                os.chmod(target + '.new', 0o600)
                os.rename(target + '.new', target)  # as a renewal tool replaces a file

        reread = 'https: read %s and %s again' % (cert, key)
        for options in ([], ['-j', '2'], ['-k', '5', '-r', '100'], ['-j', '2', '-k', '5', '-r', '100']):
            install(first.cert, first.key)
            port = free_port()
            server = start_server(work, ['-tls-port', str(port), '-cert', cert, '-key', key] + options, [port])
            try:
                self.assertEqual(self.served_certificate(port), der(first), options)
                install(second.cert, second.key)
                server.process.send_signal(signal.SIGUSR1)
                # Once the main process has read the pair again, the very next connection has it,
                # whichever process takes it (one forked before the signal, the engine).
                self.assertTrue(wait_until(lambda: reread in server.log(), 5), server.log())
                self.assertEqual(self.served_certificate(port), der(second), options)
                install(first.cert, second.key)  # a certificate with another's key
                server.process.send_signal(signal.SIGUSR1)
                self.assertTrue(wait_until(lambda: 'the certificate in use stays' in server.log(), 5), server.log())
                self.assertEqual(self.served_certificate(port), der(second), options)
            finally:
                self.assertEqual(server.stop(), 0)


    @unittest.skipUnless(os.geteuid() == 0, 'the drop to -u needs root')
    def test_a_key_only_root_may_read_is_served_after_the_drop_and_kept_on_sigusr1(self):
        import pwd
        try:
            pwd.getpwnam('nobody')
        except KeyError:
            self.skipTest('no user nobody')
        work = Workspace()
        self.addCleanup(work.close)
        os.chmod(work.dir, 0o755)
        # Made on the first start, by root, mode 0600: the user nobody may never read it.
        cert, key = work.path('https.crt'), work.path('https.key')
        port = free_port()
        server = start_server(work, ['-u', 'nobody', '-tls-port', str(port), '-cert', cert, '-key', key], [port])
        try:
            served = self.served_certificate(port)
            server.process.send_signal(signal.SIGUSR1)
            self.assertTrue(wait_until(lambda: 'the certificate in use stays' in server.log(), 5), server.log())
            self.assertIn('cannot read %s: Permission denied' % key, server.log())
            self.assertEqual(self.served_certificate(port), served)
        finally:
            self.assertEqual(server.stop(), 0)


class Engine(unittest.TestCase):
    def setUp(self):
        self.work = Workspace()
        self.ca = TestCA(self.work.dir)
        self.port = free_port()
        self.server = start_server(self.work, ['-tls-port', str(self.port), '-cert', self.ca.cert, '-key', self.ca.key],
                                   [self.port])

    def tearDown(self):
        self.server.stop()
        self.work.close()

    def get(self, path):
        return run(['curl', '-sS', '--cacert', self.ca.root, 'https://127.0.0.1:%d%s' % (self.port, path)])

    def test_the_engine_ends_with_the_server(self):
        self.assertEqual(self.get('/page.txt').stdout, b'a page over TLS\n')
        engine = self.server.engine_pid()
        self.assertTrue(alive(engine))
        self.assertEqual(self.server.stop(), 0)
        self.assertTrue(wait_until(lambda: not alive(engine), 5), 'the TLS engine outlived the server')

    def test_connections_get_relays_of_their_own_when_the_engine_is_gone(self):
        engine = self.server.engine_pid()
        os.kill(engine, signal.SIGKILL)  # started by this test's server
        self.assertTrue(wait_until(lambda: not alive(engine), 5))
        for _ in range(3):
            result = self.get('/cgi-bin/printenv')
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(b'env=[HTTPS=on]', result.stdout)
        self.assertIn('gets a relay of its own', self.server.log())
        self.assertTrue(wait_until(lambda: not self.server.children(), 5), self.server.children())


class Certificates(unittest.TestCase):
    def setUp(self):
        self.work = Workspace()

    def tearDown(self):
        self.work.close()

    def test_first_boot_makes_a_pair_that_later_starts_keep(self):
        cert, key = self.work.path('device.crt'), self.work.path('device.key')
        port = free_port()
        server = start_server(self.work, ['-tls-port', str(port), '-cert', cert, '-key', key], [port])
        try:
            self.assertEqual(os.stat(key).st_mode & 0o777, 0o600)
            text = run(['openssl', 'x509', '-in', cert, '-noout', '-subject', '-ext', 'subjectAltName',
                        '-dates']).stdout.decode()
            self.assertIn('CN = %s' % HOSTNAME, text)
            # Every name the device may be reached by: its host name, localhost, the loopback
            # addresses.
            names = re.search(r'Subject Alternative Name:\s*\n\s*(.*)', text).group(1).split(', ')
            self.assertEqual(sorted(set(names)), sorted({'DNS:%s' % HOSTNAME, 'DNS:localhost', 'IP Address:127.0.0.1',
                                                         'IP Address:0:0:0:0:0:0:0:1'}), text)
            dates = dict(line.split('=', 1) for line in text.splitlines() if line.startswith('not'))
            span = (ssl.cert_time_to_seconds(dates['notAfter']) - ssl.cert_time_to_seconds(dates['notBefore'])) / 86400
            self.assertEqual(span, 3653)
            key_type = run(['openssl', 'pkey', '-in', key, '-noout', '-text']).stdout.decode()
            self.assertIn('prime256v1', key_type)
            context = ssl.create_default_context(cafile=cert)
            context.check_hostname = False
            with socket.create_connection(('127.0.0.1', port), timeout=10) as raw:
                with context.wrap_socket(raw) as tls:
                    fingerprint = hashlib.sha256(tls.getpeercert(binary_form=True)).digest()
        finally:
            self.assertEqual(server.stop(), 0)
        with open(cert, 'rb') as f:
            first = f.read()
        # Another port: a connection process of the first server may still be ending.
        port = free_port()
        server = start_server(self.work, ['-tls-port', str(port), '-cert', cert, '-key', key], [port])
        self.assertEqual(server.stop(), 0)
        with open(cert, 'rb') as f:
            self.assertEqual(f.read(), first)
        self.assertEqual(fingerprint, hashlib.sha256(ssl.PEM_cert_to_DER_cert(first.decode())).digest())

    def test_a_pair_that_cannot_serve_stops_the_start(self):
        ca = TestCA(self.work.dir)
        garbage = self.work.path('garbage.pem')
        with open(garbage, 'w') as f:
            f.write('-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\n')
        dangling = self.work.path('dangling.key')
        os.symlink(self.work.path('nowhere'), dangling)
        missing = self.work.path('missing')
        der = self.work.path('cert.der')
        openssl('x509', '-in', ca.cert, '-outform', 'DER', '-out', der)
        locked = self.work.path('locked.key')
        openssl('pkey', '-in', ca.key, '-aes256', '-passout', 'pass:secret', '-out', locked)
        cases = [
            ('the key is missing', ca.cert, missing, 'exists but %s does not' % missing),
            ('the certificate is missing', missing, ca.key, 'exists but %s does not' % missing),
            ('the key belongs to another certificate', ca.cert, ca.other_key,
             'does not belong to the certificate %s: the certificate was made for another key' % ca.cert),
            ('the certificate is malformed', garbage, ca.key,
             '%s cannot serve as the certificate: its PEM block is damaged' % garbage),
            ('the certificate is DER', der, ca.key, '%s cannot serve as the certificate: no "-----BEGIN" block' % der),
            ('the key is malformed', ca.cert, garbage,
             '%s cannot serve as the private key: no private key that can be read in it' % garbage),
            ('the key is the certificate', ca.cert, ca.cert, '%s cannot serve as the private key: no private key' % ca.cert),
            ('the key has a passphrase', ca.cert, locked,
             '%s cannot serve as the private key: it is protected by a passphrase' % locked),
            ('the key cannot be read', ca.cert, dangling, 'cannot read %s' % dangling),
        ]
        for what, cert, key, message in cases:
            status, log = run_to_exit(self.work, ['-cert', cert, '-key', key])
            self.assertEqual(status, 255, what + '\n' + log)
            self.assertIn(message, log, what)
            self.assertNotIn('lib(', log, what)  # the reason in words, not OpenSSL's numbers

    def test_keys_others_can_read_are_warned_about_and_served_ones_refused(self):
        ca = TestCA(self.work.dir)
        os.chmod(ca.key, 0o644)
        port = free_port()
        server = start_server(self.work, ['-tls-port', str(port), '-cert', ca.cert, '-key', ca.key], [port])
        self.assertEqual(server.stop(), 0)
        self.assertIn('readable by group or others (mode 644)', server.log())
        served = os.path.join(self.work.www, 'served.key')
        os.link(ca.key, served)
        status, log = run_to_exit(self.work, ['-cert', ca.cert, '-key', served])
        self.assertEqual(status, 255, log)
        self.assertIn('lies in the served directory', log)

    def test_a_first_pair_that_cannot_be_kept_leaves_nothing_behind(self):
        os.symlink(self.work.www, self.work.path('site'))  # the served directory by another name
        outside, inside = self.work.path('device.crt'), os.path.join(self.work.www, 'device.key')
        served = 'lies in the served directory'
        cases = [  # what, options, certificate, key, message
            ('the key inside', [], outside, inside, served),
            ('both inside, the key deeper', [], os.path.join(self.work.www, 'device.crt'),
             os.path.join(self.work.www, 'sub', 'device.key'), served),
            ('the key through a link to it', [], outside, self.work.path('site/device.key'), served),
            ('-check', ['-check'], outside, inside, served),
            ('no directory for the certificate', [], self.work.path('none/device.crt'), self.work.path('device.key'),
             'cannot create %s' % self.work.path('none/device.crt.new')),
        ]
        for what, options, cert, key, message in cases:
            status, log = run_to_exit(self.work, options + ['-cert', cert, '-key', key])
            self.assertEqual(status, 255, what + '\n' + log)
            self.assertIn(message, log, what)
            made = [path for path in (cert, key, key + '.new', cert + '.new') if os.path.lexists(path)]
            self.assertEqual(made, [], what)


class Redirect(TlsCase):
    @classmethod
    def setUpClass(cls):
        cls.plain = free_port()
        cls.options = ['-port', str(cls.plain), '-redirect', '-header', 'X-Frame-Options: DENY']
        super().setUpClass()

    def plain_request(self, head):
        with socket.create_connection(('127.0.0.1', self.plain), timeout=10) as raw:
            raw.sendall(head)
            answer = b''
            while chunk := raw.recv(4096):
                answer += chunk
        return answer.decode(errors='replace')

    def test_every_request_on_the_plain_port_is_sent_to_the_tls_port(self):
        tls = ':%d' % self.port
        cases = [
            (b'GET /page.txt HTTP/1.0\r\nHost: device.local:%d\r\n\r\n' % self.plain, 'https://device.local%s/page.txt' % tls),
            (b'GET /no/such/file?a=1&b=%20 HTTP/1.1\r\nHost: device.local\r\n\r\n', 'https://device.local%s/no/such/file?a=1&b=%%20' % tls),
            (b'POST /cgi-bin/printenv HTTP/1.0\r\nhost: [::1]:80\r\n\r\n', 'https://[::1]%s/cgi-bin/printenv' % tls),
            (b'GET / HTTP/1.0\r\n\r\n', 'https://127.0.0.1%s/' % tls),
            (b'GET /x HTTP/1.0\r\nHost: evil.example/@x\r\n\r\n', 'https://127.0.0.1%s/x' % tls),
            (b'GET http://device.local/abs?q HTTP/1.0\r\nHost: device.local\r\n\r\n', 'https://device.local%s/abs?q' % tls),
        ]
        for head, location in cases:
            answer = self.plain_request(head)
            # The status line's version is the request's, as in every answer of the server.
            version = 'HTTP/1.1' if b' HTTP/1.1\r\n' in head else 'HTTP/1.0'
            self.assertTrue(answer.startswith('%s 301 Moved Permanently\r\n' % version), answer)
            self.assertIn('\r\nLocation: %s\r\n' % location, answer, head)
            self.assertIn('\r\nX-Frame-Options: DENY\r\n', answer)
        # What is no HTTP request is refused as on any port, before the redirect is asked.
        self.assertTrue(self.plain_request(b'GET /v FOO/9\r\nHost: device.local\r\n\r\n').startswith(
            'HTTP/1.0 400 Bad Request\r\n'))
        response, body, _ = self.request('GET', '/page.txt')
        self.assertEqual((response.status, body), (200, b'a page over TLS\n'))


class StalledHandshake(TlsCase):
    def test_a_handshake_that_does_not_complete_in_30_s_ends_the_session(self):
        # The start of a ClientHello whose rest never comes.
        with socket.create_connection(('127.0.0.1', self.port), timeout=60) as stalled:
            stalled.sendall(b'\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03')
            started = time.monotonic()
            self.assertEqual(stalled.recv(4096), b'')
            waited = time.monotonic() - started
        self.assertTrue(29 <= waited <= 35, waited)
        response, _, _ = self.request('GET', '/page.txt')
        self.assertEqual(response.status, 200)
        self.assertEqual(self.server.log().count('not complete after 30 s'), 1)


if __name__ == '__main__':
    for name, value in (('WEBSRV_TEST_SERVER', SERVER), ('WEBSRV_HTTPS_PLUGIN', HTTPS_PLUGIN), ('CGI_PRINTENV', PRINTENV)):
        if not value:
            sys.exit('%s is not set: run this test through ctest' % name)
    unittest.main(verbosity=2)
