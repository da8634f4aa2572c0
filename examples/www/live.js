// The live page's script: a graph of the device's load from server-sent events (EventSource on
// a CGI program), and a console over a WebSocket to a program the server runs for it.
'use strict';

const EVENTS_URL = '/cgi-bin/load.sh';
const CONSOLE_PATH = '/console';
const SAMPLES = 60;  // a minute of events, one a second
const CONSOLE_LINES = 200;

function show(id, text) {
  document.getElementById(id).textContent = text;
}

function setState(card, state, badge) {
  document.getElementById(card).dataset.state = state;
  show(`${card}-badge`, badge);
}

// The graph: the load of the last SAMPLES events, scaled to the highest of them (at least 1).
const loads = [];

function draw() {
  const top = Math.max(1, ...loads);
  const step = 600 / (SAMPLES - 1);
  const points = loads.map((load, i) => `${(i * step).toFixed(1)},${(120 - (load / top) * 110).toFixed(1)}`);
  document.getElementById('load-line').setAttribute('points', points.join(' '));
}

function startEvents() {
  const source = new EventSource(EVENTS_URL);
  let count = 0;
  source.onmessage = (event) => {
    const sample = JSON.parse(event.data);
    loads.push(sample.load);
    if (loads.length > SAMPLES) loads.shift();
    draw();
    show('load-now', sample.load.toFixed(2));
    show('load-memory', `${(sample.available_kib / 1024).toFixed(0)} MiB`);
    document.getElementById('load').dataset.samples = String(++count);
    setState('load', 'ok', 'live');
  };
  // EventSource connects again by itself.
  source.onerror = () => setState('load', 'error', 'reconnecting');
}

function addLine(text, mine) {
  const lines = document.getElementById('console-lines');
  const line = document.createElement('div');
  line.className = mine ? 'mine' : '';
  line.textContent = mine ? `> ${text}` : text;
  lines.append(line);
  while (lines.childElementCount > CONSOLE_LINES) lines.firstElementChild.remove();
  lines.scrollTop = lines.scrollHeight;
}

function startConsole() {
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  const socket = new WebSocket(`${scheme}://${location.host}${CONSOLE_PATH}`);
  const send = document.getElementById('console-send');
  socket.onopen = () => {
    setState('console', 'ok', 'connected');
    send.disabled = false;
  };
  socket.onmessage = (event) => addLine(event.data, false);
  socket.onclose = (event) => {
    setState('console', 'error', `closed (${event.code})`);
    send.disabled = true;
  };
  document.getElementById('console-form').addEventListener('submit', (event) => {
    event.preventDefault();
    const input = document.getElementById('console-input');
    if (socket.readyState !== WebSocket.OPEN) return;
    addLine(input.value, true);
    socket.send(input.value);
    input.value = '';
  });
}

startEvents();
startConsole();
