// Helpers the browser tests share: free loopback ports, the kernel's table of listening
// sockets, waiting for a process, Chromium's flags.
import { execFileSync } from 'node:child_process';
import { mkdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:net';
import { join } from 'node:path';
import { setTimeout as delay } from 'node:timers/promises';

export const CHROMIUM = '/usr/bin/chromium';
export const CHROMIUM_FLAGS = [
  '--no-sandbox',
  '--disable-gpu',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

// The value of an environment variable the test cannot run without.
export function required(name) {
  const value = process.env[name];
  if (!value) throw new Error(`${name} is not set: run this test through ctest`);
  return value;
}

// A TCP port on 127.0.0.1 that the kernel handed out. Under ctest the free_ports program
// keeps it bound (never listening, with SO_REUSEADDR as the server's sockets) until this test
// ends: no test running beside it is handed the same port, and the server's own bind succeeds.
// Run by hand, without it, the port is one that is free again.
export function freePort() {
  const holder = process.env.WEBSRV_FREE_PORTS;
  if (holder) return Promise.resolve(Number(execFileSync(holder, ['1', String(process.pid)]).toString().trim()));
  return new Promise((resolve, reject) => {
    const probe = createServer();
    probe.once('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port: free } = probe.address();
      probe.close(() => resolve(free));
    });
  });
}

// Whether a socket listens on TCP port `p`, as the kernel's table shows it. Looking there
// instead of connecting makes no connection that the server would have to serve.
export function isListening(p) {
  const hex = p.toString(16).toUpperCase().padStart(4, '0');
  // The server's sockets take IPv6 and IPv4 clients alike: they are listed in tcp6.
  return ['/proc/net/tcp', '/proc/net/tcp6'].some((table) =>
    readFileSync(table, 'utf8').split('\n').slice(1).some((line) => {
      const fields = line.trim().split(/\s+/);
      return fields.length > 3 && fields[1].endsWith(`:${hex}`) && fields[3] === '0A';
    }));

}

// Waits (at most `ms`) until the process has exited; its exit code, the signal's name, or
// null on time-out.
export async function waitExit(child, ms) {
  const deadline = Date.now() + ms;
  while (child.exitCode === null && child.signalCode === null && Date.now() < deadline)
    await delay(20);
  return child.exitCode ?? child.signalCode;
}

// Whether the port file lists port `p`. The server writes the line once its bind succeeded,
// which no other program's listening socket on the port would have let happen.
export function portFileLists(portFile, p) {
  try {
    return readFileSync(portFile, 'utf8').split('\n').includes(String(p));
  } catch {
    return false;
  }
}

// Waits (at most `ms`) until the process listens on `port` or has exited; whether it listens.
// Listening alone does not tell that the listener is the process's: with `portFile` given, the
// port file must list the port as well.
export async function waitListening(child, port, ms, portFile = null) {
  const ours = () => isListening(port) && (portFile === null || portFileLists(portFile, port));
  const deadline = Date.now() + ms;
  while (Date.now() < deadline && child.exitCode === null && child.signalCode === null && !ours())
    await delay(20);
  return child.exitCode === null && child.signalCode === null && ours();
}

// Stops the process, if it still runs, with `signal`, and waits (at most `ms`) for its end.
export async function stopProcess(child, signal, ms) {
  if (child && child.exitCode === null && child.signalCode === null) {
    child.kill(signal);
    await waitExit(child, ms);
  }
}

// Removes a test's temporary directory, or keeps it (and says where) with WEBSRV_KEEP_TEST_DIRS.
export function dropWorkDir(dir) {
  if (process.env.WEBSRV_KEEP_TEST_DIRS)
    console.log(`kept ${dir}`);
  else
    rmSync(dir, { recursive: true, force: true });
}

// playwright-core's chromium, or an error that says how to install it.
export async function loadChromium() {
  try {
    return (await import('playwright-core')).chromium;
  } catch (error) {
    throw new Error(`playwright-core is missing (${error.message}): run tests/browser/setup.sh`);
  }
}

// Headless Chromium with a fresh profile in `workDir`, and its page. `options` adds to or
// overrides the launch options (viewport, credentials, environment).
export async function openBrowser(workDir, options = {}, pageTimeout = 30000) {
  const chromium = await loadChromium();
  const context = await chromium.launchPersistentContext(join(workDir, 'profile'), {
    executablePath: CHROMIUM, headless: true, args: CHROMIUM_FLAGS, timeout: 60000, ...options,
  });
  const page = context.pages()[0] ?? await context.newPage();
  page.setDefaultTimeout(pageTimeout);
  return { context, page };
}

// The end of a browser test: the browser closed, the server stopped, the directory removed.
export async function closeAll(context, server, workDir) {
  if (context) await context.close().catch(() => {});
  await stopProcess(server, 'SIGTERM', 10000);
  dropWorkDir(workDir);
}

// The server's output in the log file at `path` so far, or '' before there is one.
export function readLog(path) {
  try {
    return readFileSync(path, 'utf8');
  } catch {
    return '';
  }
}

// A test body that, when it fails, adds the end of the server's log at `path` to the error.
export function withLog(path, body) {
  return async () => {
    try {
      await body();
    } catch (error) {
      error.message += `\n--- server log (${path}) ---\n${readLog(path).slice(-4000)}`;
      throw error;
    }
  };
}

// A root CA and a server certificate for 127.0.0.1 signed by it (ca.crt, server.crt and
// server.key in `workDir`), made with the openssl command; the CA is trusted in the NSS store of
// the home directory `home`, where Chromium on Linux looks ($HOME/.pki/nssdb).
export function makeTestCA(workDir, home) {
  const run = (command, args) => execFileSync(command, args, { stdio: ['pipe', 'pipe', 'pipe'] });
  const file = (name) => join(workDir, name);
  writeFileSync(file('ext.cnf'),
    '[ca]\nbasicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' +
    '[server]\nbasicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n' +
    'extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n');
  for (const name of ['ca', 'server'])
    run('openssl', ['genpkey', '-algorithm', 'EC', '-pkeyopt', 'ec_paramgen_curve:P-256', '-out', file(`${name}.key`)]);
  run('openssl', ['req', '-x509', '-new', '-key', file('ca.key'), '-subj', '/CN=websrv browser test CA', '-days', '2',
                  '-extensions', 'ca', '-config', file('ext.cnf'), '-out', file('ca.crt')]);
  run('openssl', ['req', '-new', '-key', file('server.key'), '-subj', '/CN=localhost', '-out', file('server.csr')]);
  run('openssl', ['x509', '-req', '-in', file('server.csr'), '-CA', file('ca.crt'), '-CAkey', file('ca.key'),
                  '-CAcreateserial', '-days', '2', '-extfile', file('ext.cnf'), '-extensions', 'server',
                  '-out', file('server.crt')]);
  const nssdb = join(home, '.pki', 'nssdb');
  mkdirSync(nssdb, { recursive: true });
  run('certutil', ['-d', `sql:${nssdb}`, '-N', '--empty-password']);
  run('certutil', ['-d', `sql:${nssdb}`, '-A', '-n', 'websrv browser test CA', '-t', 'C,,', '-i', file('ca.crt')]);
}
