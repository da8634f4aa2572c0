// A CGI.pm program in a real browser: headless Chromium signs in to a guest book (a form post
// answered with a cookie and a redirect to the program's own URL), then posts an entry with a
// file through a multipart form that submits to the program itself, and reads what arrived.
//
//   WEBSRV_TEST_SERVER, WEBSRV_HTTP_PLUGIN: as for demo.test.mjs
//   WEBSRV_GUESTBOOK       the CGI.pm program (tests/cgi/guestbook.pl)
//   WEBSRV_KEEP_TEST_DIRS  set: keep the temporary directory
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { chmodSync, closeSync, copyFileSync, mkdirSync, mkdtempSync, openSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

import {
  closeAll, freePort, openBrowser, readLog, required, waitListening, withLog,
} from './support.mjs';

const SERVER = required('WEBSRV_TEST_SERVER');
const HTTP_PLUGIN = required('WEBSRV_HTTP_PLUGIN');
const GUESTBOOK = required('WEBSRV_GUESTBOOK');

const workDir = mkdtempSync(join(tmpdir(), 'websrv-cgi-browser-'));
const site = join(workDir, 'www');
const portFile = join(workDir, 'webport');
const serverLog = join(workDir, 'server.log');
let server;
let program;  // the guest book's URL
let context;
let page;

const serverOutput = () => readLog(serverLog);

process.on('exit', () => {
  if (server && server.exitCode === null && server.signalCode === null) server.kill('SIGKILL');
});

before(async () => {
  mkdirSync(join(site, 'cgi-bin'), { recursive: true });
  copyFileSync(GUESTBOOK, join(site, 'cgi-bin', 'guestbook.pl'));
  chmodSync(join(site, 'cgi-bin', 'guestbook.pl'), 0o755);
  const port = await freePort();
  const log = openSync(serverLog, 'w');
  server = spawn(SERVER, ['-plugin', HTTP_PLUGIN, '-port', String(port), '-c', 'cgi-bin', '-d', site],
                 { env: { ...process.env, WEBSRV_TEST_PORT_FILE: portFile }, stdio: ['ignore', log, log] });
  closeSync(log);
  if (!await waitListening(server, port, 10000, portFile))
    throw new Error(`the server did not start:\n${serverOutput()}`);
  program = `http://127.0.0.1:${port}/cgi-bin/guestbook.pl`;
  ({ context, page } = await openBrowser(workDir));
});

after(() => closeAll(context, server, workDir));

// The form's action as the browser resolved it: where a submit goes.
function actionOf(selector) {
  return page.locator(selector).evaluate((form) => form.action);
}

test('signing in posts the form to the program, which sets a cookie and redirects back', withLog(serverLog, async () => {
  const response = await page.goto(program);
  assert.equal(response.status(), 200);
  assert.equal(new URL(await actionOf('#sign-in')).pathname, '/cgi-bin/guestbook.pl');
  await page.fill('#name', 'Ada & <Lovelace>');
  const [answer] = await Promise.all([page.waitForNavigation(), page.click('#sign-in-button')]);
  assert.equal(answer.status(), 200);
  assert.equal(answer.request().method(), 'GET');
  assert.equal(answer.request().redirectedFrom()?.method(), 'POST');
  assert.equal(page.url(), program);
  assert.equal(await page.locator('#guest').innerText(), 'Ada & <Lovelace>');
  const cookies = await context.cookies(program);
  assert.deepEqual(cookies.map((c) => [c.name, decodeURIComponent(c.value)]), [['guest', 'Ada & <Lovelace>']]);
}));

test('an entry with a file posts through the multipart form to the program itself', withLog(serverLog, async () => {
  const photo = Buffer.alloc(1024 * 1024);
  for (let i = 0; i < photo.length; i++) photo[i] = (i * 31 + 7) % 251;
  const sum = photo.reduce((total, byte) => (total + byte) >>> 0, 0);
  assert.equal(new URL(await actionOf('#entry')).pathname, '/cgi-bin/guestbook.pl');
  await page.fill('#message', 'grüße, 100% & more');
  await page.setInputFiles('#photo-file', { name: 'photo.bin', mimeType: 'application/octet-stream', buffer: photo });
  const [answer] = await Promise.all([page.waitForNavigation(), page.click('#post-button')]);
  assert.equal(answer.status(), 200);
  assert.equal(answer.request().method(), 'POST');
  assert.match(answer.request().headers()['content-type'], /^multipart\/form-data; boundary=/);
  assert.equal(await page.locator('#guest').innerText(), 'Ada & <Lovelace>');  // the cookie came along
  assert.equal(await page.locator('#said').innerText(), 'grüße, 100% & more');
  assert.equal(await page.locator('#photo').innerText(), `${photo.length} bytes, sum ${sum}`);
}));
