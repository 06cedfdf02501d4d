// The qelomsr panel page: lists the devices, drives one of them through the
// panel's JSON API and shows its live data from the server-sent event stream.
'use strict';

const STORE = 'qelomsr-panel';   // sessionStorage: {device, token} of this tab
const PLOT_SECONDS = 10;         // the plot shows the last ten seconds of a stream
const LOG_POINTS = 5000;         // and the last readings of a slow log
const CONTROL_ERRORS = ['#inputs-error', '#outputs-error', '#ports-error', '#extras-error', '#stream-error'];

const $ = (sel, root = document) => root.querySelector(sel);
const el = (tag, props = {}, ...children) => {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'dataset') Object.assign(e.dataset, v);
    else if (k === 'on') for (const [ev, f] of Object.entries(v)) e.addEventListener(ev, f);
    else e[k] = v;
  }
  for (const c of children) e.append(c);
  return e;
};

const page = {
  token: null,
  device: null,
  layout: null,
  state: null,
  opens: null,      // the open count of the state shown: a new one means the device was reset
  events: null,
  stream: null,     // {channels, analog[], expectedFrame, t[], v[][], gaps[], holes[]}
  plot: null,
};

// ---- API -------------------------------------------------------------------

async function api(path, body) {
  const headers = {};
  if (page.token) headers['X-Panel-Token'] = page.token;
  const options = {headers};
  if (body !== undefined) {
    options.method = 'POST';
    headers['Content-Type'] = 'application/json';
    options.body = JSON.stringify(body);
  }
  const res = await fetch('/api/' + path, options);
  const text = await res.text();
  let data;
  try { data = JSON.parse(text); } catch (e) { data = {error: text || res.statusText}; }
  if (!res.ok) {
    const err = new Error(data.error || res.statusText);
    err.status = res.status;
    err.code = data.code;
    throw err;
  }
  return data;
}

// Sends a request that may discard a recording not saved yet: the panel
// refuses it first (code "unsaved"), and the user decides.
async function askingToDiscard(send) {
  try {
    return await send({});
  } catch (e) {
    if (e.code !== 'unsaved') throw e;
    if (!confirm(e.message)) throw new Error('Nothing was changed: the recording is kept. Save it first.');
    return send({discard: true});
  }
}

// Volts as the page shows them: to the microvolt, without trailing zeros.
const voltsText = (v) => String(Number(v.toFixed(6)));

// Runs an action; its failure is shown in the given error box.
async function act(errorBox, action) {
  const box = $(errorBox);
  box.textContent = '';
  try {
    await action();
  } catch (e) {
    box.textContent = e.message;
  }
}

// ---- device list -------------------------------------------------------------

const STATE_TEXT = {free: 'free', yours: 'open in this page', busy: 'busy: another page drives it',
                    lost: 'open, connection lost'};

async function refreshDevices() {
  try {
    const devices = await api('devices');
    const body = $('#device-table tbody');
    body.replaceChildren();
    for (const d of devices) {
      const open = el('button', {type: 'button', textContent: 'Open',
                                 disabled: d.state !== 'free',
                                 on: {click: () => openDevice(d.device)}});
      body.append(el('tr', {dataset: {device: d.device, state: d.state}},
                     el('td', {textContent: d.device}), el('td', {textContent: d.family || ''}),
                     el('td', {textContent: d.firmware || ''}),
                     el('td', {textContent: STATE_TEXT[d.state] || d.state}), el('td', {}, open)));
    }
    if (!devices.length) body.append(el('tr', {}, el('td', {colSpan: 5, textContent: 'No device attached.'})));
  } catch (e) {
    $('#list-error').textContent = e.message;
  }
}

// ---- opening and closing -------------------------------------------------------

function remember() {
  if (page.token) sessionStorage.setItem(STORE, JSON.stringify({device: page.device, token: page.token}));
  else sessionStorage.removeItem(STORE);
}

// Opens a device for this page, or takes back the one this page had
// (resumeToken, after a reload). A device the page drives stays open when
// the new one cannot be opened.
async function openDevice(device, resumeToken = null) {
  $('#list-error').textContent = '';
  if (resumeToken) page.token = resumeToken;
  try {
    const opened = await askingToDiscard((extra) => api('open', {device, ...extra}));
    if (opened.token !== page.token || !page.events) {
      closeEvents();
      page.token = opened.token;
      page.opens = null;
    }
    page.device = opened.state.device;
    remember();
    $('#reset-note').textContent = opened.resumed
      ? 'This page already had the device open: its settings are as you left them.'
      : 'Opening the device reset it: analog outputs are at 0 V, digital lines are inputs, ' +
        'input ranges are at their defaults.';
    showState(opened.state);
    $('#device').hidden = false;
    if (!page.events) connectEvents();
  } catch (e) {
    if (resumeToken) {
      page.token = null;
      remember();
      $('#device').hidden = true;
    }
    $('#list-error').textContent = e.message;
  }
  refreshDevices();
}

async function closeDevice() {
  try {
    await askingToDiscard((extra) => api('close', {...extra}));
  } catch (e) {
    if (e.status !== 404) {
      $('#device-error').textContent = e.message;
      return;  // still open
    }
  }
  forgetDevice();
}

function forgetDevice(message) {
  closeEvents();
  page.token = null;
  page.device = null;
  page.layout = null;
  remember();
  $('#device').hidden = true;
  if (message) $('#list-error').textContent = message;
  refreshDevices();
}

// ---- events ----------------------------------------------------------------------

function connectEvents() {
  const es = new EventSource('/api/events?token=' + encodeURIComponent(page.token));
  page.events = es;
  es.addEventListener('state', (e) => showState(JSON.parse(e.data)));
  es.addEventListener('snapshot', (e) => showSnapshot(JSON.parse(e.data)));
  es.addEventListener('streamstatus', (e) => showStreamStatus(JSON.parse(e.data)));
  es.addEventListener('chunk', (e) => addChunk(JSON.parse(e.data)));
  es.addEventListener('missed', () => { if (page.stream) page.stream.expectedFrame = -1; });
  es.addEventListener('error', async () => {
    if (es.readyState !== EventSource.CLOSED || page.events !== es) return;
    // The server refused the stream: find out whether the device is still ours.
    try {
      await api('state');
      setTimeout(() => { if (page.events === es && page.token) connectEvents(); }, 1000);
    } catch (err) {
      if (err.status === 404) forgetDevice('The panel closed the device of this page: ' + err.message);
      else setTimeout(() => { if (page.events === es && page.token) connectEvents(); }, 1000);
    }
  });
}

function closeEvents() {
  if (page.events) page.events.close();
  page.events = null;
}

// ---- device view -------------------------------------------------------------------

function digitsFor(range) {
  const span = Math.max(Math.abs(range.min), Math.abs(range.max)) || 1;
  return Math.min(7, Math.max(3, 5 - Math.ceil(Math.log10(span))));
}

function layoutKey(layout) {
  return layout ? JSON.stringify([layout.device, layout.inputs.map((i) => i.name),
                                  layout.ports.map((p) => p.name)]) : '';
}

function showState(state) {
  page.state = state;
  const reopened = page.opens !== null && state.opens !== page.opens;
  page.opens = state.opens;
  $('#device-title').textContent = state.layout
    ? `${state.device} — ${state.layout.family}, firmware ${state.layout.firmware}, ${state.layout.serial}`
    : state.device;
  const badge = $('#connection');
  badge.textContent = state.connection;
  badge.className = 'badge ' + state.connection;
  $('#device').classList.toggle('disconnected', state.connection !== 'connected');
  $('#device-error').textContent = state.error || '';
  $('#device-notice').textContent = state.notice || '';
  if (state.layout && layoutKey(state.layout) !== layoutKey(page.layout)) buildView(state.layout);
  if (state.layout) {
    page.layout = state.layout;
    showSettings(state.layout);
    showCalibration(state.layout);
  }
  if (reopened) {
    // The device was opened again (it came back): it was reset, and what the
    // page said about it before no longer holds.
    for (const box of CONTROL_ERRORS) $(box).textContent = '';
    if (state.layout) fillOutputFields(state.layout);
  }
  $('#stream-start').disabled = $('#log-start').disabled =
    state.streaming || state.connection !== 'connected';
  $('#stream-stop').disabled = !state.streaming;
  $('#save-csv').disabled = $('#save-hdf5').disabled = !state.recorded;
  if (state.streamError) $('#stream-error').textContent = state.streamError;
}

function buildView(layout) {
  // Analog inputs
  const inputs = $('#inputs tbody');
  inputs.replaceChildren();
  for (const input of layout.inputs) {
    const select = el('select', {dataset: {range: input.name}, on: {change: (e) =>
      act('#inputs-error', () => api('range', {input: input.name, range: Number(e.target.value)}))}});
    input.ranges.forEach((r, i) => select.append(el('option', {value: i,
      textContent: `${r.min} … ${r.max} V${r.calibrated ? '' : ' (uncalibrated)'}`})));
    select.disabled = input.ranges.length < 2;
    inputs.append(el('tr', {}, el('td', {textContent: input.name}),
                     el('td', {className: 'num reading', dataset: {reading: input.name}, textContent: '–'}),
                     el('td', {className: 'mark', dataset: {mark: input.name}}),
                     el('td', {}, select)));
  }

  // Analog outputs
  $('#outputs-section').hidden = layout.outputs.length === 0;
  const outputs = $('#outputs tbody');
  outputs.replaceChildren();
  for (const output of layout.outputs) {
    const field = el('input', {type: 'number', step: 'any', min: output.range.min, max: output.range.max,
                               value: output.volts === null ? '0' : String(output.volts),
                               dataset: {outputValue: output.name}});
    const set = () => act('#outputs-error', async () => {
      const volts = field.value.trim() === '' ? NaN : Number(field.value);
      if (!Number.isFinite(volts)) throw new Error(`${output.name}: enter a number of volts.`);
      await api('output', {output: output.name, volts});
    });
    field.addEventListener('keydown', (e) => { if (e.key === 'Enter') set(); });
    outputs.append(el('tr', {},
      el('td', {textContent: output.name}), el('td', {}, field, ' V'),
      el('td', {}, el('button', {type: 'button', textContent: 'Set', dataset: {outputSet: output.name},
                                 on: {click: set}})),
      el('td', {className: 'reading', dataset: {outputState: output.name}}),
      el('td', {className: 'mark', dataset: {outputMark: output.name}}),
      el('td', {className: 'note', textContent: `${output.range.min} … ${output.range.max} V`})));
  }

  // Digital ports
  $('#ports-section').hidden = layout.ports.length === 0;
  const ports = $('#ports');
  ports.replaceChildren();
  for (const port of layout.ports) {
    const lines = el('div', {className: 'lines'});
    port.lines.forEach((name, bit) => {
      const oe = el('input', {type: 'checkbox', dataset: {oe: port.name, bit}, title: 'output enable',
                              on: {change: () => writePort(port.name, 'outputEnable', bit, oe.checked)}});
      const level = el('input', {type: 'checkbox', dataset: {level: port.name, bit}, title: 'output level',
                                 on: {change: () => writePort(port.name, 'levels', bit, level.checked)}});
      lines.append(el('div', {className: 'line'},
        el('span', {className: 'name'}, el('span', {className: 'led', dataset: {pin: port.name, bit}}), ' ', name),
        el('label', {}, oe, 'out'), el('label', {}, level, 'high')));
    });
    ports.append(el('div', {className: 'port'}, el('div', {},
      el('strong', {textContent: port.name}), ' ',
      el('span', {className: 'note reading', dataset: {portValue: port.name}})), lines));
  }

  // Counter, trigger, LED, temperature, reference currents
  const extras = $('#extras tbody');
  extras.replaceChildren();
  if (layout.counter) {
    const enable = el('input', {type: 'checkbox', dataset: {counterEnable: ''}, on: {change: (e) =>
      act('#extras-error', () => api('counter', {enable: e.target.checked}))}});
    extras.append(el('tr', {}, el('td', {textContent: layout.counter.name}),
      el('td', {className: 'num reading', dataset: {counter: ''}, textContent: '–'}),
      el('td', {}, el('label', {}, enable, 'counting'), ' ',
         el('button', {type: 'button', textContent: 'Reset', on: {click: () =>
           act('#extras-error', () => api('counter', {reset: true}))}}))));
  }
  if (layout.trigger) {
    extras.append(el('tr', {}, el('td', {textContent: layout.trigger.name + ' level'}),
      el('td', {className: 'num reading', dataset: {trigger: ''}, textContent: '–'}), el('td')));
  }
  if (layout.led) {
    const led = el('input', {type: 'checkbox', dataset: {ledSwitch: ''}, on: {change: (e) =>
      act('#extras-error', () => api('led', {on: e.target.checked}))}});
    extras.append(el('tr', {}, el('td', {textContent: 'LED'}), el('td'),
                     el('td', {}, el('label', {}, led, 'on'))));
  }
  if (layout.temperature) {
    extras.append(el('tr', {}, el('td', {textContent: 'Temperature'}),
      el('td', {className: 'num reading', dataset: {temperature: ''}, textContent: '–'}), el('td')));
  }
  for (const c of layout.currents) {
    extras.append(el('tr', {}, el('td', {textContent: `Reference current ${c.name}`}),
      el('td', {className: 'num reading', textContent: `${c.microamps.toFixed(3)} µA`}), el('td')));
  }
  $('#extras-section').hidden = extras.children.length === 0;

  // Stream channels
  const channels = $('#stream-channels');
  channels.replaceChildren();
  const names = [...layout.inputs.map((i) => i.name), ...layout.ports.map((p) => p.name)];
  if (layout.counter) names.push(layout.counter.name);
  if (layout.trigger) names.push(layout.trigger.name);
  names.forEach((name, i) => channels.append(el('label', {},
    el('input', {type: 'checkbox', checked: i === 0, dataset: {channel: name}}), name)));
}

function showSettings(layout) {
  layout.inputs.forEach((input) => {
    const select = document.querySelector(`select[data-range="${CSS.escape(input.name)}"]`);
    if (select && document.activeElement !== select) select.value = String(input.range);
  });
  for (const output of layout.outputs) {
    const cell = document.querySelector(`[data-output-state="${CSS.escape(output.name)}"]`);
    if (!cell) continue;
    // What the output produces: the DAC's step is near 5 mV, so a value asked
    // for is seldom what the converter gives.
    cell.dataset.volts = String(output.producedVolts);
    cell.dataset.requested = output.volts === null ? '' : String(output.volts);
    if (output.volts === null) {
      cell.textContent = 'set: 0 V (reset state)';
    } else {
      const produced = voltsText(output.producedVolts);
      cell.textContent = `set: ${produced} V` +
        (produced === voltsText(output.volts) ? '' : ` (asked for ${output.volts} V)`);
    }
  }
  for (const port of layout.ports) {
    port.lines.forEach((_, bit) => {
      const oe = document.querySelector(`[data-oe="${CSS.escape(port.name)}"][data-bit="${bit}"]`);
      const level = document.querySelector(`[data-level="${CSS.escape(port.name)}"][data-bit="${bit}"]`);
      if (oe) oe.checked = ((port.outputEnable >> bit) & 1) === 1;
      if (level) {
        level.checked = ((port.levels >> bit) & 1) === 1;
        level.disabled = !oe.checked;
      }
    });
  }
  const counter = document.querySelector('[data-counter-enable]');
  if (counter && layout.counter) counter.checked = layout.counter.enabled;
  const led = document.querySelector('[data-led-switch]');
  if (led && layout.led) led.checked = layout.led.on;
}

// The output fields show what the outputs hold (after a reset: 0 V).
function fillOutputFields(layout) {
  for (const output of layout.outputs) {
    const field = document.querySelector(`[data-output-value="${CSS.escape(output.name)}"]`);
    if (field) field.value = output.volts === null ? '0' : String(output.volts);
  }
}

// Inputs and outputs whose calibration record is erased: their values come
// from the nominal conversion.
function showCalibration(layout) {
  const missing = layout.uncalibrated || [];
  $('#uncalibrated').textContent = missing.length
    ? 'Not calibrated (the calibration record is erased; the nominal conversion applies, so values ' +
      'may be off by a few percent): ' + missing.join(', ') + '.'
    : '';
  for (const input of layout.inputs) {
    const mark = document.querySelector(`[data-mark="${CSS.escape(input.name)}"]`);
    if (mark) mark.dataset.uncalibrated = input.ranges[input.range].calibrated ? '' : '1';
  }
  for (const output of layout.outputs) {
    const mark = document.querySelector(`[data-output-mark="${CSS.escape(output.name)}"]`);
    if (mark) {
      mark.textContent = output.calibrated ? '' : 'uncalibrated';
      mark.className = output.calibrated ? 'mark' : 'mark uncal';
    }
  }
}

function writePort(name, field, bit, on) {
  const port = page.layout.ports.find((p) => p.name === name);
  const value = on ? (port[field] | (1 << bit)) : (port[field] & ~(1 << bit));
  act('#ports-error', async () => {
    try {
      await api('port', {port: name, [field]: value});
    } finally {
      showSettings(page.layout);  // the state event brings the new settings
    }
  });
}

function showSnapshot(snap) {
  if (!page.layout) return;
  const clipped = new Set(snap.clipped || []);
  for (const input of page.layout.inputs) {
    const cell = document.querySelector(`[data-reading="${CSS.escape(input.name)}"]`);
    const mark = document.querySelector(`[data-mark="${CSS.escape(input.name)}"]`);
    if (!cell) continue;
    const v = snap.inputs[input.name];
    const isClipped = clipped.has(input.name) && v !== null && v !== undefined;
    if (v === null || v === undefined) {
      cell.dataset.volts = '';
      cell.textContent = snap.streaming ? '(not streamed)' : '–';
    } else {
      cell.dataset.volts = String(v);
      // A clipped sample says only that the input lies at or past the end of the range.
      cell.textContent = (isClipped ? (v < 0 ? '≤ ' : '≥ ') : '') +
        v.toFixed(digitsFor(input.ranges[input.range])) + ' V';
    }
    cell.dataset.clipped = isClipped ? '1' : '';
    cell.classList.toggle('clipped', isClipped);
    if (mark) {
      const uncal = mark.dataset.uncalibrated === '1';
      mark.textContent = isClipped ? 'CLIPPED: beyond the range' : uncal ? 'uncalibrated' : '';
      mark.className = isClipped ? 'mark clipped' : uncal ? 'mark uncal' : 'mark';
    }
  }
  for (const port of page.layout.ports) {
    const levels = snap.ports[port.name];
    const cell = document.querySelector(`[data-port-value="${CSS.escape(port.name)}"]`);
    if (cell) {
      cell.dataset.levels = String(levels);
      cell.textContent = `pins 0x${levels.toString(16).padStart(2, '0')}`;
    }
    port.lines.forEach((_, bit) => {
      const dot = document.querySelector(`[data-pin="${CSS.escape(port.name)}"][data-bit="${bit}"]`);
      if (dot) dot.classList.toggle('on', ((levels >> bit) & 1) === 1);
    });
  }
  const set = (sel, text, value) => {
    const cell = document.querySelector(sel);
    if (!cell) return;
    cell.textContent = text;
    cell.dataset.value = value === undefined ? '' : String(value);
  };
  if (snap.counter !== undefined) set('[data-counter]', String(snap.counter), snap.counter);
  if (snap.trigger !== undefined) set('[data-trigger]', snap.trigger === null ? '–' : String(snap.trigger), snap.trigger);
  if (page.layout.temperature) {
    set('[data-temperature]', snap.temperature === null
      ? (snap.streaming ? '(paused while streaming)' : '–') : snap.temperature.toFixed(2) + ' °C', snap.temperature);
  }
}

// ---- stream and plot -------------------------------------------------------------

function tickedChannels() {
  return [...document.querySelectorAll('[data-channel]')].filter((c) => c.checked)
    .map((c) => c.dataset.channel);
}

async function startStream() {
  const channels = tickedChannels();
  const rate = Number($('#stream-rate').value);
  await act('#stream-error', async () => {
    if (!channels.length) throw new Error('Choose at least one channel to stream.');
    if (!Number.isFinite(rate)) throw new Error('Enter the rate in Hz.');
    await askingToDiscard(async (extra) => {
      preparePlot(channels, 'stream');
      await api('stream/start', {channels, rate, ...extra});
    });
  });
}

// A slow log: one reading every so many seconds, timed by the host.
async function startLog() {
  const channels = tickedChannels();
  const everySeconds = Number($('#log-every').value);
  await act('#stream-error', async () => {
    if (!channels.length) throw new Error('Choose at least one channel to log.');
    if (!Number.isFinite(everySeconds)) throw new Error('Enter the interval in seconds.');
    await askingToDiscard(async (extra) => {
      preparePlot(channels, 'log');
      await api('log/start', {channels, everySeconds, ...extra});
    });
  });
}

function clearStreamStatus() {
  for (const id of ['stat-device-rate', 'stat-achieved', 'stat-fill', 'stat-overruns', 'stat-frames', 'stat-recorded',
                    'stat-clipped']) {
    $('#' + id).textContent = '–';
    delete $('#' + id).dataset.value;
  }
}

function preparePlot(channels, kind) {
  clearStreamStatus();
  for (const box of document.querySelectorAll('[data-channel]')) box.parentElement.classList.remove('clipped');
  const analog = channels.map((name) => page.layout.inputs.some((i) => i.name === name));
  page.stream = {kind, channels, analog, expectedFrame: 0, t: [], v: channels.map(() => []), gaps: [], holes: []};
  if (page.plot) page.plot.destroy();
  const colors = ['#1f77b4', '#d62728', '#2ca02c', '#9467bd', '#ff7f0e', '#17becf', '#8c564b', '#e377c2'];
  const series = [{label: 't (s)'}];
  channels.forEach((name, i) => series.push({
    label: name, scale: analog[i] ? 'V' : 'raw', stroke: colors[i % colors.length], width: 1,
    spanGaps: false, points: {show: false}}));
  const axes = [{label: 's'}, {scale: 'V', label: 'V'}];
  if (analog.some((a) => !a)) axes.push({scale: 'raw', side: 1, label: 'raw', grid: {show: false}});
  const width = Math.max(320, $('#plot').clientWidth || 800);
  page.plot = new uPlot({
    width, height: 300, series, axes,
    scales: {x: {time: false}},
    legend: {live: false},
    hooks: {draw: [drawGaps]},
  }, [[], ...channels.map(() => [])], $('#plot'));
  $('#plot').dataset.points = '0';
}

// Vertical marks where frames were lost (red) or the plot missed data (grey).
function drawGaps(u) {
  const ctx = u.ctx;
  const mark = (t, color) => {
    const x = Math.round(u.valToPos(t, 'x', true));
    if (x < u.bbox.left || x > u.bbox.left + u.bbox.width) return;
    ctx.save();
    ctx.strokeStyle = color;
    ctx.lineWidth = 2;
    ctx.beginPath();
    ctx.moveTo(x, u.bbox.top);
    ctx.lineTo(x, u.bbox.top + u.bbox.height);
    ctx.stroke();
    ctx.restore();
  };
  if (!page.stream) return;
  for (const t of page.stream.gaps) mark(t, '#d62728');
  for (const t of page.stream.holes) mark(t, '#9aa4ad');
}

// A break in every line: a point without values.
function breakLines(s, t) {
  s.t.push(t);
  for (const values of s.v) values.push(null);
}

function addChunk(chunk) {
  const s = page.stream;
  if (!s || !page.plot || chunk.v.length !== s.channels.length) return;
  if (s.expectedFrame !== 0 && chunk.first !== s.expectedFrame && chunk.t.length) {
    // Chunks were missed: the plot has no data for those frames.
    s.holes.push(chunk.t[0]);
    breakLines(s, chunk.t[0]);
  }
  s.expectedFrame = chunk.first + chunk.frames;
  let gap = 0;
  for (let i = 0; i < chunk.t.length; i++) {
    while (gap < chunk.gaps.length && chunk.gaps[gap].index === i) {
      s.gaps.push(chunk.t[i]);
      breakLines(s, chunk.t[i]);
      gap++;
    }
    s.t.push(chunk.t[i]);
    chunk.v.forEach((values, c) => s.v[c].push(values[i]));
  }
  for (; gap < chunk.gaps.length; gap++) {
    const t = s.t.length ? s.t[s.t.length - 1] : 0;
    s.gaps.push(t);
    breakLines(s, t);
  }
  // Keep the last PLOT_SECONDS seconds of a stream, the last LOG_POINTS readings of a log.
  const last = s.t.length ? s.t[s.t.length - 1] : 0;
  let drop = s.kind === 'log' ? Math.max(0, s.t.length - LOG_POINTS) : 0;
  while (s.kind !== 'log' && drop < s.t.length && s.t[drop] < last - PLOT_SECONDS) drop++;
  if (drop) {
    s.t.splice(0, drop);
    s.v.forEach((values) => values.splice(0, drop));
  }
  page.plot.setData([s.t, ...s.v]);
  const shown = Number($('#plot').dataset.points || 0) + chunk.t.length;
  $('#plot').dataset.points = String(shown);
}

function showStreamStatus(st) {
  const fmt = (v, d = 1) => (Number.isFinite(v) ? v.toFixed(d) : '–');
  $('#stat-device-rate').textContent = st.kind === 'log' ? `log, every ${st.everySeconds} s`
                                                        : fmt(st.deviceRate, 2) + ' Hz';
  $('#stat-achieved').textContent = fmt(st.achievedRate, 1) + ' Hz';
  $('#stat-fill').textContent = Number.isFinite(st.bufferFill) ? fmt(100 * st.bufferFill, 1) + ' %' : '–';
  $('#stat-overruns').textContent = String(st.overruns);
  $('#stat-overruns').dataset.value = String(st.overruns);
  $('#stat-frames').textContent = String(st.frames);
  $('#stat-frames').dataset.value = String(st.frames);
  $('#stat-recorded').textContent = `${st.recordedFrames} frames${st.recordFull ? ' — FULL: later frames are not kept' : ''}`;
  // Clipped samples per channel: values at the end of the range are not measurements.
  const clipped = (st.clipped || []).filter((c) => c.clipped > 0);
  $('#stat-clipped').textContent = clipped.length ? clipped.map((c) => `${c.name}: ${c.clipped}`).join(', ') : 'none';
  $('#stat-clipped').dataset.value = JSON.stringify(Object.fromEntries((st.clipped || []).map((c) => [c.name, c.clipped])));
  $('#stat-clipped').classList.toggle('clipped', clipped.length > 0);
  for (const c of st.clipped || []) {
    const box = document.querySelector(`[data-channel="${CSS.escape(c.name)}"]`);
    if (box) box.parentElement.classList.toggle('clipped', c.clipped > 0);
  }
  if (st.plotStep > 1) $('#plot-note').dataset.step = String(st.plotStep);
  $('#stream-error').textContent = st.error || '';
}

async function save(format) {
  await act('#stream-error', async () => {
    const res = await fetch('/api/save', {method: 'POST',
      headers: {'Content-Type': 'application/json', 'X-Panel-Token': page.token},
      body: JSON.stringify({format})});
    if (!res.ok) {
      let message = res.statusText;
      try { message = (await res.json()).error; } catch (e) { /* keep the status text */ }
      throw new Error(message);
    }
    const disposition = res.headers.get('Content-Disposition') || '';
    const name = (disposition.match(/filename="([^"]+)"/) || [])[1] || `qelomsr.${format}`;
    const url = URL.createObjectURL(await res.blob());
    const a = el('a', {href: url, download: name});
    document.body.append(a);
    a.click();
    a.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  });
}

// ---- start -------------------------------------------------------------------------

async function start() {
  $('#refresh').addEventListener('click', refreshDevices);
  $('#close-device').addEventListener('click', closeDevice);
  $('#stream-start').addEventListener('click', startStream);
  $('#log-start').addEventListener('click', startLog);
  $('#stream-stop').addEventListener('click', () => act('#stream-error', () => api('stream/stop', {})));
  $('#save-csv').addEventListener('click', () => save('csv'));
  $('#save-hdf5').addEventListener('click', () => save('hdf5'));
  try {
    const config = await api('config');
    $('#version').textContent = 'library ' + config.version;
    let saved = null;
    try { saved = JSON.parse(sessionStorage.getItem(STORE) || 'null'); } catch (e) { saved = null; }
    if (saved && saved.device && saved.token) await openDevice(saved.device, saved.token);
    else if (config.startDevice) await openDevice(config.startDevice);
    else await refreshDevices();
  } catch (e) {
    $('#list-error').textContent = e.message;
  }
  setInterval(() => { if (!document.hidden) refreshDevices(); }, 5000);
}

start();
