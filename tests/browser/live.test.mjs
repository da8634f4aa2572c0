// The live page of the demo in headless Chromium, over HTTP (http.so) and over HTTPS (https.so
// with a test CA that Chromium trusts, the TLS in the connection's process through -k): the load
// graph fills from the CGI program's server-sent events (EventSource), and the console answers
// over a WebSocket to examples/live/console.sh. Leaving the page ends both programs. A
// screenshot of the page over HTTP goes to WEBSRV_SCREENSHOT.
//
//   WEBSRV_TEST_SERVER, WEBSRV_HTTP_PLUGIN, WEBSRV_HTTPS_PLUGIN, WEBSRV_DEMO_SITE: the binaries
//   and the assembled demo site; WEBSRV_CONSOLE: the console program
//   WEBSRV_KEEP_TEST_DIRS  set: keep the temporary directory
import { after, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { closeSync, mkdirSync, mkdtempSync, openSync, readdirSync, readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { setTimeout as delay } from 'node:timers/promises';

import {
  closeAll, freePort, makeTestCA, openBrowser, readLog, required, waitListening, withLog,
} from './support.mjs';

const SERVER = required('WEBSRV_TEST_SERVER');
const DEMO_SITE = required('WEBSRV_DEMO_SITE');
const CONSOLE = required('WEBSRV_CONSOLE');

const workDir = mkdtempSync(join(tmpdir(), 'websrv-live-browser-'));
const home = join(workDir, 'home');
const running = [];

after(async () => {
  for (const { context, server } of running) await closeAll(context, server, null).catch(() => {});
  closeAll(null, null, workDir);
});

// The demo's server with the plug-in and options of `scheme`, and Chromium on a page of it.
async function open(scheme) {
  const port = await freePort();
  const logPath = join(workDir, `${scheme}.log`);
  const options = scheme === 'https'
    ? ['-plugin', required('WEBSRV_HTTPS_PLUGIN'), '-tls-port', String(port), '-cert', join(workDir, 'server.crt'),
       '-key', join(workDir, 'server.key'), '-k', '5']
    : ['-plugin', required('WEBSRV_HTTP_PLUGIN'), '-port', String(port)];
  const log = openSync(logPath, 'w');
  const server = spawn(SERVER, ['-v', ...options, '-websocket', '/console', CONSOLE, '-c', 'cgi-bin', '-j', '8',
                                '-d', DEMO_SITE],
                       { env: { ...process.env, WEBSRV_TEST_PORT_FILE: join(workDir, `${scheme}.port`) },
                         stdio: ['ignore', log, log] });
  closeSync(log);
  if (!await waitListening(server, port, 10000))
    throw new Error(`the server did not start:\n${readLog(logPath)}`);
  mkdirSync(join(workDir, scheme), { recursive: true });
  const { context, page } = await openBrowser(join(workDir, scheme), { env: { ...process.env, HOME: home } });
  running.push({ context, server });
  return { base: `${scheme}://127.0.0.1:${port}`, page, logPath, server };
}

// The command lines of the processes below `root` (its children, theirs, and so on).
function descendants(root) {
  const parents = new Map();
  for (const entry of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const stat = readFileSync(`/proc/${entry}/stat`, 'utf8');
      parents.set(Number(entry), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
    } catch {
      // gone meanwhile
    }
  }
  const below = (pid) => pid > 1 && (parents.get(pid) === root || below(parents.get(pid)));
  return [...parents.keys()].filter(below).map((pid) => {
    try {
      return readFileSync(`/proc/${pid}/cmdline`, 'utf8').replaceAll('\0', ' ');
    } catch {
      return '';
    }
  });
}

for (const scheme of ['http', 'https']) {
  test(`the live page over ${scheme}: events fill the graph, the console answers`, async () => {
    if (scheme === 'https') makeTestCA(workDir, home);
    const { base, page, logPath, server } = await open(scheme);
    await withLog(logPath, async () => {
      const response = await page.goto(`${base}/live.html`);
      assert.equal(response.status(), 200);
      // Three events, a second apart, each shown as it came.
      await page.waitForSelector('#load[data-samples="3"]', { timeout: 10000 });
      assert.equal(await page.locator('#load-badge').innerText(), 'live');
      const points = await page.locator('#load-line').getAttribute('points');
      assert.equal(points.split(' ').length >= 3, true, points);
      // The console greets, then answers a command and echoes text with all its characters.
      await page.waitForSelector('#console[data-state="ok"]');
      await page.waitForFunction(() => document.getElementById('console-lines').textContent.includes('Connected to'));
      for (const [command, answer] of [['echo hello, wörld ✓', 'hello, wörld ✓'], ['load', 'load ']]) {
        await page.fill('#console-input', command);
        await page.click('#console-send');
        await page.waitForFunction(
          (text) => [...document.querySelectorAll('#console-lines div:not(.mine)')].some((line) => line.textContent.startsWith(text)),
          answer);
      }
      if (scheme === 'http' && process.env.WEBSRV_SCREENSHOT)
        await page.screenshot({ path: process.env.WEBSRV_SCREENSHOT, fullPage: true });
      // "bye" ends the program, which closes the connection with 1000.
      await page.fill('#console-input', 'bye');
      await page.click('#console-send');
      await page.waitForSelector('#console[data-state="error"]');
      assert.equal(await page.locator('#console-badge').innerText(), 'closed (1000)');
      // Leaving the page ends the events program within two seconds.
      await page.goto('about:blank');
      await delay(2500);
      assert.deepEqual(descendants(server.pid).filter((command) => command.includes('load.sh')), []);
      assert.match(readLog(logPath), /load\.sh lost its client; ending it/);
    })();
  });
}
