// The demo site in a real browser: headless Chromium, driven by playwright-core, against the
// real server binary serving the assembled demo site on a free loopback port.
//
//   WEBSRV_TEST_SERVER   the server executable that takes its port file from
//                        WEBSRV_TEST_PORT_FILE (build/tests/websrv-test)
//   WEBSRV_HTTP_PLUGIN   the stock plug-in (build/plugins/http.so)
//   WEBSRV_LED_PLUGIN    the device API example (build/examples/led.so)
//   WEBSRV_DEMO_SITE     the assembled demo site (build/www)
//   WEBSRV_SCREENSHOT    where to save the screenshot of the status page
//   WEBSRV_KEEP_TEST_DIRS  set: keep the temporary directory (port file, server log, profile)
//
// Run by ctest (tests/browser_tests.cmake); tests/browser/setup.sh installs Chromium and
// playwright-core first.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { closeSync, mkdirSync, mkdtempSync, openSync, readFileSync } from 'node:fs';
import { hostname, tmpdir } from 'node:os';
import { dirname, join } from 'node:path';

import {
  dropWorkDir, freePort, openBrowser, readLog, required, stopProcess, waitExit,
  waitListening, withLog,
} from './support.mjs';


const MISSING_PAGE = '/update.html';  // linked from the demo, missing on purpose
const SERVER = required('WEBSRV_TEST_SERVER');
const HTTP_PLUGIN = required('WEBSRV_HTTP_PLUGIN');
const LED_PLUGIN = required('WEBSRV_LED_PLUGIN');
const SITE = required('WEBSRV_DEMO_SITE');
const SCREENSHOT = required('WEBSRV_SCREENSHOT');

const workDir = mkdtempSync(join(tmpdir(), 'websrv-browser-'));
const portFile = join(workDir, 'webport');
const serverLog = join(workDir, 'server.log');

let server;      // the server process
let port;        // its port
let base;        // http://127.0.0.1:port
let context;     // the browser (a persistent context on a fresh profile)
let page;
let serverBanner;  // the Server header of the status page's response
const events = { failedRequests: [], errorResponses: [], consoleErrors: [], pageErrors: [] };
const responses = [];

const serverOutput = () => readLog(serverLog);

// Starts the server on a free port and waits until it listens. A port taken by someone else
// between the probe and the server's bind makes the server exit at once; then another port
// is tried. Listening alone does not tell that the listener is ours: the port file's line
// does.
async function startServer() {
  for (let attempt = 1; attempt <= 3; attempt++) {
    port = await freePort();
    const log = openSync(serverLog, 'w');
    server = spawn(SERVER,
      ['-plugin', HTTP_PLUGIN, '-port', String(port), '-status', '/status', '-plugin', LED_PLUGIN,
       '-led-port', String(port), '-led-state', join(workDir, 'led.state'), '-c', 'cgi-bin', '-d', SITE, '-v'],
      { env: { ...process.env, WEBSRV_TEST_PORT_FILE: portFile }, stdio: ['ignore', log, log] });
    closeSync(log);
    if (await waitListening(server, port, 10000, portFile)) {
      base = `http://127.0.0.1:${port}`;
      return;
    }
    if (server.exitCode === null && server.signalCode === null) {
      server.kill('SIGKILL');
      await waitExit(server, 5000);
      throw new Error(`the server did not listen on port ${port} within 10 s:\n${serverOutput()}`);
    }
  }
  throw new Error(`the server did not start (3 attempts):\n${serverOutput()}`);
}

// Whatever ends this process, the server does not outlive it.
process.on('exit', () => {
  if (server && server.exitCode === null && server.signalCode === null) server.kill('SIGKILL');
});

async function stopBrowser() {
  if (context) {
    const closing = context;
    context = undefined;
    await closing.close();
  }
}

// The tests below run in order and share one page: each starts from where the last left it.
// A failing test adds the server's log to its message.
function step(name, body) {
  test(name, withLog(serverLog, body));
}

before(async () => {
  await startServer();
  ({ context, page } = await openBrowser(workDir, { viewport: { width: 1100, height: 600 } }, 20000));
  page.on('requestfailed', (r) => {
    // Leaving the status page cancels its status fetch if one is running: that is no fault.
    if (r.resourceType() === 'fetch' && r.failure()?.errorText === 'net::ERR_ABORTED') return;
    events.failedRequests.push(`${r.url()}: ${r.failure()?.errorText}`);
  });
  page.on('response', (r) => {
    responses.push(r);
    if (r.status() >= 400 && new URL(r.url()).pathname !== MISSING_PAGE)
      events.errorResponses.push(`${r.status()} ${r.url()}`);
  });
  page.on('console', (m) => { if (m.type() === 'error') events.consoleErrors.push(m.text()); });
  page.on('pageerror', (e) => events.pageErrors.push(e.message));
});

after(async () => {
  await stopBrowser().catch(() => {});
  await stopProcess(server, 'SIGKILL', 5000);
  dropWorkDir(workDir);
});

function responseFor(path) {
  return responses.find((r) => new URL(r.url()).pathname === path);
}

function expectNothingWentWrong() {
  assert.deepEqual(events, { failedRequests: [], errorResponses: [], consoleErrors: [], pageErrors: [] });
}

step('the server runs the demo site and lists its port in the port file', async () => {
  assert.ok(readFileSync(portFile, 'utf8').split('\n').includes(String(port)),
    `port ${port} is not in ${portFile}`);
});

step('the status page renders with its stylesheet, image and script from the server', async () => {
  const response = await page.goto(`${base}/`);
  assert.equal(response.status(), 200);
  assert.equal(response.headers()['content-type'], 'text/html');
  serverBanner = response.headers()['server'];
  assert.ok(serverBanner, 'the page response has no Server header');
  await page.waitForLoadState('load');
  assert.equal(await page.locator('h1').innerText(), 'websrv demo device');

  // Each asset came from the server whole, with its content type; the script and the style
  // sheet as their gzip copies, which Chromium unpacked to the files' bytes.
  for (const [path, type, encoding] of [['/style.css', 'text/css', 'gzip'], ['/app.js', 'text/javascript', 'gzip'],
                                        ['/img/device.png', 'image/png', undefined]]) {
    const asset = responseFor(path);
    assert.ok(asset, `${path} was not requested`);
    assert.equal(asset.status(), 200, path);
    assert.equal(asset.headers()['content-type'], type, path);
    assert.equal(asset.headers()['content-encoding'], encoding, path);

    assert.ok((await asset.body()).equals(readFileSync(join(SITE, path))), `${path} differs from the file`);
  }

  // The stylesheet was parsed and applies: the header bar has its background colour.
  const sheets = await page.evaluate(() => [...document.styleSheets].map(
    (s) => ({ href: s.href, rules: s.cssRules.length })));
  assert.ok(sheets.some((s) => s.href === `${base}/style.css` && s.rules > 10), JSON.stringify(sheets));
  const barColour = await page.locator('header.bar').evaluate((e) => getComputedStyle(e).backgroundColor);
  assert.notEqual(barColour, 'rgba(0, 0, 0, 0)');

  // The image was decoded: its natural size is the size in the PNG file's header.
  const png = readFileSync(join(SITE, 'img/device.png'));
  const image = await page.locator('header img.logo').evaluate(
    (img) => ({ complete: img.complete, width: img.naturalWidth, height: img.naturalHeight }));
  assert.ok(image.width > 0, 'the image did not load');
  assert.deepEqual(image, { complete: true, width: png.readUInt32BE(16), height: png.readUInt32BE(20) });
  // ... and its pixels were decoded, not only its header: some of them are opaque.
  const opaque = await page.locator('header img.logo').evaluate((img) => {
    const canvas = document.createElement('canvas');
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const draw = canvas.getContext('2d');
    draw.drawImage(img, 0, 0);
    const { data } = draw.getImageData(0, 0, canvas.width, canvas.height);
    let count = 0;
    for (let i = 3; i < data.length; i += 4) count += data[i] === 255 ? 1 : 0;
    return count;
  });
  assert.ok(opaque > 0, 'the image shows no opaque pixel');
});

step('the script fetches the status from the CGI program and fills it in', async () => {
  const card = page.locator('#status');
  await page.waitForSelector('#status:not([data-state="loading"])');
  assert.equal(await card.getAttribute('data-state'), 'ok', await page.locator('#status-error').innerText());

  const fetched = responseFor('/cgi-bin/status.sh');
  assert.ok(fetched, 'the script did not fetch /cgi-bin/status.sh');
  assert.equal(fetched.status(), 200);
  assert.equal(fetched.headers()['content-type'], 'application/json');
  assert.equal(fetched.request().resourceType(), 'fetch');
  const status = await fetched.json();

  // What the program read on this machine, shown on the page.
  const text = async (id) => page.locator(`#${id}`).innerText();
  assert.equal(status.hostname, hostname());
  assert.equal(await text('hostname'), hostname());
  assert.equal(await text('client'), '127.0.0.1');
  assert.equal(await text('server'), serverBanner, 'SERVER_SOFTWARE differs from the Server header');
  const uptimeNow = Number(readFileSync('/proc/uptime', 'utf8').split(' ')[0]);
  assert.ok(status.uptime_seconds > 0 && status.uptime_seconds <= uptimeNow, String(status.uptime_seconds));
  assert.match(await text('uptime'), /^(\d+ d )?(\d+ h )?\d+ (min|s)$/);
  assert.match(await text('load'), /^\d+\.\d\d, \d+\.\d\d, \d+\.\d\d$/);
  assert.match(await text('memory'), /^\d+(\.\d)? MiB of \d+(\.\d)? MiB$/);
  assert.match(await text('memory-used'), /^\d+ %$/);
  assert.equal(await page.locator('#status-badge').innerText(), 'live');
  for (const id of ['kernel', 'time'])
    assert.ok(!['…', 'unknown'].includes(await text(id)), `#${id} was not filled in`);

  expectNothingWentWrong();

  mkdirSync(dirname(SCREENSHOT), { recursive: true });
  await page.screenshot({ path: SCREENSHOT, fullPage: true });
  const shot = readFileSync(SCREENSHOT);
  assert.ok(shot.length > 1000 && shot.subarray(1, 4).toString() === 'PNG', `${SCREENSHOT} is no PNG`);
});

step('the LED switches on and off through the example plug-in; the server card counts', async () => {
  await page.waitForSelector('#led:not([data-state="loading"])');
  assert.equal(await page.locator('#led').getAttribute('data-state'), 'off', await page.locator('#led-error').innerText());
  for (const on of [true, false]) {
    await page.locator('#led-switch').click();
    await page.waitForSelector(`#led[data-state="${on ? 'on' : 'off'}"]`);
    const answer = await page.evaluate(async () => (await fetch('/api/led', { cache: 'no-store' })).json());
    assert.deepEqual(answer, { on });
    assert.equal(await page.locator('#led-switch').innerText(), on ? 'Switch off' : 'Switch on');
  }
  await page.waitForSelector('#server-card[data-state="ok"]');
  assert.ok(Number(await page.locator('#server-requests').innerText()) > 0);
  assert.match(await page.locator('#server-active').innerText(), /^\d+ of 1 slots$/);
  expectNothingWentWrong();
});

step('the settings form is posted to a CGI program and its answer is shown', async () => {
  await page.getByRole('link', { name: 'Settings' }).first().click();
  await page.waitForURL(`${base}/form.html`);
  // Characters that mean something in a form body and in HTML, to see them come back intact.
  const name = 'lab <sensor> & "co" 100%';
  await page.fill('#name', name);
  await page.fill('#interval', '30');
  await page.selectOption('#mode', 'static');
  const [answer] = await Promise.all([
    page.waitForResponse((r) => new URL(r.url()).pathname === '/cgi-bin/form.cgi'),
    page.click('button[type="submit"]'),
  ]);
  await page.waitForLoadState('load');
  assert.equal(answer.request().method(), 'POST');
  assert.equal(answer.status(), 200);
  assert.equal(answer.headers()['content-type'], 'text/html');
  const body = answer.request().postData();
  assert.equal(body, new URLSearchParams({ name, interval: '30', mode: 'static' }).toString());

  assert.equal(await page.locator('h2').innerText(), 'Settings saved');
  const fields = await page.locator('#fields dt').evaluateAll(
    (dts) => dts.map((dt) => [dt.textContent, dt.nextElementSibling.textContent]));
  assert.deepEqual(fields, [['name', name], ['interval', '30'], ['mode', 'static']]);
  assert.equal(await page.locator('#received').innerText(),
    `form.cgi received ${Buffer.byteLength(body)} bytes by POST:`);
  expectNothingWentWrong();
});

step('the page that is missing on purpose shows the server\'s 404 page', async () => {
  await page.goto(`${base}/`);
  await page.waitForSelector('#status[data-state="ok"]');
  events.consoleErrors.length = 0;
  const [missing] = await Promise.all([
    page.waitForResponse((r) => new URL(r.url()).pathname === MISSING_PAGE),
    page.getByRole('link', { name: 'Firmware update' }).first().click(),
  ]);
  await page.waitForURL(`${base}${MISSING_PAGE}`);
  await page.waitForLoadState('load');
  assert.equal(missing.status(), 404);
  assert.equal(missing.headers()['content-type'], 'text/html');
  assert.equal(missing.headers()['server'], serverBanner);
  assert.equal(await page.title(), '404 Not Found');
  assert.match(await page.locator('body').innerText(),
    new RegExp(`^${serverBanner.replace(/[.*+?^${}()|[\]\\/]/g, '\\$&')} Error: 404 Not Found$`, 'm'));
  // The browser reports the page's own 404 on its console, and nothing else goes wrong.
  assert.equal(events.consoleErrors.length, 1, events.consoleErrors.join('\n'));
  assert.match(events.consoleErrors[0], /404/);
  events.consoleErrors.length = 0;
  expectNothingWentWrong();
});

step('the server stops on SIGTERM and takes its port off the port file', async () => {
  await stopBrowser();
  server.kill('SIGTERM');
  assert.equal(await waitExit(server, 10000), 0);
  assert.ok(!readFileSync(portFile, 'utf8').split('\n').includes(String(port)),
    `port ${port} is still in ${portFile}`);
});
