// The status page's script: fetches the device status as JSON from a CGI program and the
// server's counters from its status endpoint, and shows them, again every 10 seconds and
// whenever "Refresh now" is pressed; reads and switches the LED through the example plug-in.
'use strict';

const STATUS_URL = '/cgi-bin/status.sh';
const SERVER_URL = '/status';
const LED_URL = '/api/led';
const REFRESH_MS = 10000;

// "3 d 4 h 5 min" from a number of seconds; under a minute, the seconds.
function formatUptime(seconds) {
  if (typeof seconds !== 'number') return 'unknown';
  const s = Math.floor(seconds);
  if (s < 60) return `${s} s`;
  const d = Math.floor(s / 86400), h = Math.floor((s % 86400) / 3600), m = Math.floor((s % 3600) / 60);
  return [d && `${d} d`, (d || h) && `${h} h`, `${m} min`].filter(Boolean).join(' ');
}

function formatMiB(kib) {
  return `${(kib / 1024).toFixed(kib < 10240 ? 1 : 0)} MiB`;
}

function show(id, text) {
  document.getElementById(id).textContent = text;
}

function setState(state, badge) {
  document.getElementById('status').dataset.state = state;
  show('status-badge', badge);
}

function render(status) {
  show('hostname', status.hostname || 'unknown');
  show('kernel', status.kernel ? `Linux ${status.kernel}` : 'unknown');
  show('uptime', formatUptime(status.uptime_seconds));
  const load = Array.isArray(status.load) ? status.load : [];
  show('load', load.every((v) => typeof v === 'number') && load.length === 3
    ? load.map((v) => v.toFixed(2)).join(', ') : 'unknown');
  const mem = status.memory_kib || {};
  const bar = document.getElementById('memory-bar');
  if (typeof mem.total === 'number' && typeof mem.available === 'number' && mem.total > 0) {
    const used = Math.round((100 * (mem.total - mem.available)) / mem.total);
    show('memory', `${formatMiB(mem.available)} of ${formatMiB(mem.total)}`);
    show('memory-used', `${used} %`);
    bar.style.width = `${used}%`;
  } else {
    show('memory', 'unknown');
    show('memory-used', 'unknown');
    bar.style.width = '0';
  }
  show('server', status.server || 'unknown');
  show('client', status.client || 'unknown');
  show('time', status.time ? new Date(status.time).toLocaleString() : 'unknown');
}

let inFlight = false;

async function refresh() {
  // The server answers one connection at a time: never queue a second fetch behind the first.
  if (inFlight) return;
  inFlight = true;
  try {
    const response = await fetch(STATUS_URL, { cache: 'no-store' });
    if (!response.ok) throw new Error(`${STATUS_URL} answered ${response.status}`);
    render(await response.json());
    setState('ok', 'live');
    show('status-error', '');
  } catch (error) {
    setState('error', 'unavailable');
    show('status-error', `Status not available: ${error.message}`);
  } finally {
    inFlight = false;
  }
}

// The server's counters; the card stays hidden when the server has no status endpoint.
async function refreshServer() {
  const card = document.getElementById('server-card');
  try {
    const response = await fetch(SERVER_URL, { cache: 'no-store' });
    if (!response.ok) throw new Error(`${SERVER_URL} answered ${response.status}`);
    const figures = await response.json();
    show('server-uptime', formatUptime(figures.uptime_s));
    show('server-connections', String(figures.connections));
    show('server-requests', String(figures.requests));
    show('server-active', `${figures.active} of ${figures.slots} slots`);
    show('server-refused', String(figures.refused));
    const kib = figures.bytes_sent / 1024;
    show('server-sent', kib < 1024 ? `${kib.toFixed(1)} KiB` : formatMiB(kib));
    card.dataset.state = 'ok';
  } catch {
    card.dataset.state = 'absent';
  }
}

// The LED: its state as the plug-in answers it ({"on": true|false}), and the switch.
let ledOn = false;

function showLed(on) {
  ledOn = on;
  const card = document.getElementById('led');
  card.dataset.state = on ? 'on' : 'off';
  show('led-badge', on ? 'on' : 'off');
  const button = document.getElementById('led-switch');
  button.textContent = on ? 'Switch off' : 'Switch on';
  button.disabled = false;
  show('led-error', '');
}

async function led(request) {
  try {
    const response = await fetch(LED_URL, { cache: 'no-store', ...request });
    const answer = await response.json();
    if (!response.ok) throw new Error(answer.error || `${LED_URL} answered ${response.status}`);
    showLed(answer.on === true);
  } catch (error) {
    document.getElementById('led').dataset.state = 'error';
    show('led-badge', 'unavailable');
    show('led-error', `The LED is not available: ${error.message}`);
  }
}

document.getElementById('led-switch').addEventListener('click', () =>
  led({ method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ on: !ledOn }) }));

function refreshAll() {
  refresh();
  refreshServer();
}

document.getElementById('refresh').addEventListener('click', refreshAll);
refreshAll();
led({});
setInterval(refreshAll, REFRESH_MS);
