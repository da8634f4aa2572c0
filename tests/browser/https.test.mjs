// The demo over HTTPS in headless Chromium, with a test CA that Chromium trusts through the
// NSS certificate store of a home directory made for the test (no certificate error is
// waved through). The server runs https.so on a copy of the demo site with two galleries of
// twenty images each: /gallery/, open, and /private/, behind a password (yescrypt). Chromium
// loads the status page, follows /gallery to /gallery/ and loads it whole, then loads both
// galleries a few times with its cache off and prints how long each took (measured, not
// asserted: speed belongs to bench/).
//
//   WEBSRV_TEST_SERVER, WEBSRV_HTTPS_PLUGIN, WEBSRV_DEMO_SITE: as for demo.test.mjs
//   WEBSRV_KEEP_TEST_DIRS  set: keep the temporary directory
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { closeSync, copyFileSync, cpSync, mkdirSync, mkdtempSync, openSync, readFileSync, writeFileSync } from 'node:fs';
import https from 'node:https';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import {
  closeAll, freePort, makeTestCA, openBrowser, readLog, required, waitListening, withLog,
} from './support.mjs';

const SERVER = required('WEBSRV_TEST_SERVER');
const HTTPS_PLUGIN = required('WEBSRV_HTTPS_PLUGIN');
const DEMO_SITE = required('WEBSRV_DEMO_SITE');

const IMAGES = 20;
const ROUNDS = 5;
const USER = 'admin';
const PASSWORD = 'correct horse battery staple';

const workDir = mkdtempSync(join(tmpdir(), 'websrv-https-browser-'));
const site = join(workDir, 'www');
const home = join(workDir, 'home');
const serverLog = join(workDir, 'server.log');
let server;
let base;
let context;
let page;

function run(command, args, options = {}) {
  return execFileSync(command, args, { stdio: ['pipe', 'pipe', 'pipe'], ...options });
}

// A yescrypt hash made through libcrypt, as mkpasswd makes them.
function yescrypt(password) {
  const script = 'import ctypes, sys\n' +
    'c = ctypes.CDLL("libcrypt.so.1")\n' +
    'c.crypt_gensalt.restype = c.crypt.restype = ctypes.c_char_p\n' +
    'salt = c.crypt_gensalt(b"$y$", 0, None, 0)\n' +
    'print(c.crypt(sys.argv[1].encode(), salt).decode())\n';
  return run('python3', ['-c', script, password]).toString().trim();
}

// The demo site with two galleries: /gallery/ open, /private/ behind the password.
function makeSite() {
  cpSync(DEMO_SITE, site, { recursive: true });
  for (const gallery of ['gallery', 'private']) {
    mkdirSync(join(site, gallery));
    let html = `<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>${gallery}</title></head><body>\n`;
    for (let i = 1; i <= IMAGES; i++) {
      copyFileSync(join(DEMO_SITE, 'img', 'device.png'), join(site, gallery, `photo${i}.png`));
      html += `<img src="photo${i}.png" width="48" height="48" alt="photo ${i}">\n`;
    }
    writeFileSync(join(site, gallery, 'index.html'), `${html}</body></html>\n`);
  }
  writeFileSync(join(workDir, 'users'), `${USER}:${yescrypt(PASSWORD)}\n`);
}

const serverOutput = () => readLog(serverLog);

process.on('exit', () => {
  if (server && server.exitCode === null && server.signalCode === null) server.kill('SIGKILL');
});

before(async () => {
  makeTestCA(workDir, home);
  makeSite();
  const port = await freePort();
  const log = openSync(serverLog, 'w');
  // The demo's command line with https.so and its one extra option, -tls-port.
  server = spawn(SERVER, ['-plugin', HTTPS_PLUGIN, '-tls-port', String(port),
                          '-cert', join(workDir, 'server.crt'), '-key', join(workDir, 'server.key'),
                          '-auth', '/private', join(workDir, 'users'), '-realm', 'websrv demo',
                          '-c', 'cgi-bin', '-d', site],
                 { env: { ...process.env, WEBSRV_TEST_PORT_FILE: join(workDir, 'webport') }, stdio: ['ignore', log, log] });
  closeSync(log);
  if (!await waitListening(server, port, 10000))
    throw new Error(`the server did not start:\n${serverOutput()}`);
  base = `https://127.0.0.1:${port}`;
  mkdirSync(join(workDir, 'profile'));
  ({ context, page } = await openBrowser(workDir, {
    env: { ...process.env, HOME: home },
    httpCredentials: { username: USER, password: PASSWORD },
  }));
});

after(() => closeAll(context, server, workDir));

// Every image of the page came from the server and was decoded.
async function imagesLoaded() {
  return page.locator('img').evaluateAll((images) => images.map((img) => img.complete && img.naturalWidth > 0));
}

test('the demo runs over HTTPS with a certificate Chromium verifies', withLog(serverLog, async () => {
  const response = await page.goto(`${base}/`);
  assert.equal(response.status(), 200);
  const security = await response.securityDetails();
  assert.equal(security.issuer, 'websrv browser test CA');
  assert.match(security.protocol, /^TLS 1\.[23]$/);
  await page.waitForSelector('#status[data-state="ok"]');
  assert.equal(await page.locator('#client').innerText(), '127.0.0.1');
}));

test('a sub-directory gallery loads whole after the redirect to its slash', withLog(serverLog, async () => {
  const response = await page.goto(`${base}/gallery`);
  assert.equal(response.status(), 200);
  assert.equal(new URL(page.url()).pathname, '/gallery/');
  assert.equal(response.request().redirectedFrom().url(), `${base}/gallery`);
  const loaded = await imagesLoaded();
  assert.equal(loaded.length, IMAGES);
  assert.ok(loaded.every(Boolean), JSON.stringify(loaded));
}));

test('the protected gallery loads with the password; times with the cache off', withLog(serverLog, async () => {
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.setCacheDisabled', { cacheDisabled: true });
  const times = { gallery: [], private: [] };
  for (let round = 0; round < ROUNDS; round++) {
    for (const gallery of ['gallery', 'private']) {
      const response = await page.goto(`${base}/${gallery}/`, { waitUntil: 'load' });
      assert.equal(response.status(), 200, gallery);
      assert.ok((await imagesLoaded()).every(Boolean), gallery);
      times[gallery].push(await page.evaluate(() => performance.getEntriesByType('navigation')[0].loadEventEnd));
    }
  }
  const median = (list) => [...list].sort((a, b) => a - b)[Math.floor(list.length / 2)];
  console.log(`# load of ${IMAGES} images, median of ${ROUNDS}: open ${median(times.gallery).toFixed(0)} ms, ` +
              `protected ${median(times.private).toFixed(0)} ms ` +
              `(ratio ${(median(times.private) / median(times.gallery)).toFixed(2)}); ` +
              `all: ${JSON.stringify(times)}`);
  // Without the password the gallery stays closed.
  const status = await new Promise((resolve, reject) => {
    https.get(`${base}/private/photo1.png`, { ca: readFileSync(join(workDir, 'ca.crt')) }, (answer) => {
      answer.resume();
      resolve(answer.statusCode);
    }).on('error', reject);
  });
  assert.equal(status, 401);
}));
