// A page of twenty images, as a device UI's pages come, loaded by headless Chromium from servers
// with 1, 2, 4 and 8 session slots (-j), with and without keep-alive (-k 5), over HTTP
// (http.so) and HTTPS (https.so), and through https.so's plain port sent on to TLS
// (-redirect). Chromium opens up to six connections at once, and spare ones ahead: every image
// must arrive whatever the slots, and no spare connection may hold the page up (which showed
// as a 30-second wait). Load times are printed, not asserted: speed belongs to bench/.
//
//   WEBSRV_TEST_SERVER, WEBSRV_HTTP_PLUGIN, WEBSRV_HTTPS_PLUGIN, WEBSRV_DEMO_SITE: as for
//   demo.test.mjs and https.test.mjs
//   WEBSRV_KEEP_TEST_DIRS  set: keep the temporary directory
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { closeSync, copyFileSync, mkdirSync, mkdtempSync, openSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import { closeAll, freePort, openBrowser, readLog, required, stopProcess, waitListening } from './support.mjs';

const SERVER = required('WEBSRV_TEST_SERVER');
const HTTP_PLUGIN = required('WEBSRV_HTTP_PLUGIN');
const HTTPS_PLUGIN = required('WEBSRV_HTTPS_PLUGIN');
const DEMO_SITE = required('WEBSRV_DEMO_SITE');

const IMAGES = 20;
// Far above any load here (a fraction of a second), far below the 30 s a held slot cost.
const HELD_UP_MS = 10000;

const workDir = mkdtempSync(join(tmpdir(), 'websrv-gallery-browser-'));
const site = join(workDir, 'www');
let context;
let page;

before(async () => {
  mkdirSync(join(site, 'gallery'), { recursive: true });
  let html = '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>gallery</title></head><body>\n';
  for (let i = 1; i <= IMAGES; i++) {
    copyFileSync(join(DEMO_SITE, 'img', 'device.png'), join(site, 'gallery', `photo${i}.png`));
    html += `<img src="photo${i}.png" width="48" height="48" alt="photo ${i}">\n`;
  }
  writeFileSync(join(site, 'gallery', 'index.html'), `${html}</body></html>\n`);
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256', '-nodes',
                           '-keyout', join(workDir, 'tls.key'), '-out', join(workDir, 'tls.crt'), '-days', '2',
                           '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1'], { stdio: 'ignore' });
  // The certificate's verification is https.test.mjs's business; here only the slots count.
  ({ context, page } = await openBrowser(workDir, { ignoreHTTPSErrors: true }));
});

after(() => closeAll(context, null, workDir));

// Starts the server with `options` in front of the plug-in's; its process, log and base URL.
async function startServer(name, options, scheme) {
  const port = await freePort();
  const plain = await freePort();
  const plugin = scheme === 'http'
    ? ['-plugin', HTTP_PLUGIN, '-port', String(port)]
    : ['-plugin', HTTPS_PLUGIN, '-tls-port', String(port), '-cert', join(workDir, 'tls.crt'),
       '-key', join(workDir, 'tls.key'), '-port', String(plain), '-redirect'];
  const logPath = join(workDir, `${name}.log`);
  const log = openSync(logPath, 'w');
  const server = spawn(SERVER, [...options, ...plugin, '-d', site],
                       { env: { ...process.env, WEBSRV_TEST_PORT_FILE: join(workDir, `${name}.port`) },
                         stdio: ['ignore', log, log] });
  closeSync(log);
  if (!await waitListening(server, port, 10000))
    throw new Error(`the server did not start:\n${readLog(logPath)}`);
  return { server, logPath, base: `${scheme}://127.0.0.1:${port}`, plainBase: `http://127.0.0.1:${plain}` };
}

// Loads the gallery from `url` with the browser's cache off; how long it took, and which
// images arrived.
async function loadGallery(url) {
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.setCacheDisabled', { cacheDisabled: true });
  const begin = Date.now();
  const response = await page.goto(url, { waitUntil: 'load' });
  const ms = Date.now() - begin;
  await cdp.detach();
  const loaded = await page.locator('img').evaluateAll(
    (images) => images.map((img) => img.complete && img.naturalWidth > 0));
  return { status: response.status(), ms, loaded };
}

const cases = [];
for (const scheme of ['http', 'https'])
  for (const jobs of [1, 2, 4, 8])
    for (const keep of [false, true])
      cases.push({ scheme, jobs, keep, redirect: false });
for (const jobs of [1, 4])
  cases.push({ scheme: 'https', jobs, keep: false, redirect: true });

for (const { scheme, jobs, keep, redirect } of cases) {
  const options = ['-j', String(jobs), ...(keep ? ['-k', '5'] : [])];
  const name = `${redirect ? 'redirect' : scheme} ${options.join(' ')}`;
  test(`every image of the gallery arrives: ${name}`, async () => {
    const { server, logPath, base, plainBase } = await startServer(name.replace(/ /g, '_'), options, scheme);
    try {
      const times = [];
      for (let round = 0; round < 3; round++) {
        const { status, ms, loaded } = await loadGallery(`${redirect ? plainBase : base}/gallery/`);
        assert.equal(status, 200, readLog(logPath));
        assert.equal(loaded.length, IMAGES);
        assert.ok(loaded.every(Boolean), `${JSON.stringify(loaded)}\n${readLog(logPath).slice(-2000)}`);
        assert.ok(ms < HELD_UP_MS, `the page took ${ms} ms`);
        times.push(ms);
      }
      console.log(`# ${name}: loads of ${IMAGES} images took ${times.join(', ')} ms`);
    } finally {
      await stopProcess(server, 'SIGTERM', 10000);
    }
  });
}
