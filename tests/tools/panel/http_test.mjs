// The panel's security rules and input checks, as plain HTTP against the panel
// on the virtual bus (no browser): loopback only, foreign Host headers and
// cross-origin requests refused before routing, one page per device, and bad
// input answered with a clear error that changes nothing on the device.
import assert from 'node:assert/strict';
import {execFile} from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import {after, before, describe, test} from 'node:test';

import {CLI, PanelOnBus, waitFor} from './harness.mjs';

const KA = 'USB:1-0-3';

// The listening sockets of a port from /proc/net/tcp{,6}: local addresses in hex.
function listeners(port) {
  const hexPort = port.toString(16).toUpperCase().padStart(4, '0');
  const found = [];
  for (const file of ['/proc/net/tcp', '/proc/net/tcp6']) {
    let text = '';
    try { text = fs.readFileSync(file, 'utf8'); } catch (e) { continue; }
    for (const line of text.split('\n').slice(1)) {
      const f = line.trim().split(/\s+/);
      if (f.length > 3 && f[3] === '0A' && f[1].endsWith(':' + hexPort)) found.push(f[1].split(':')[0]);
    }
  }
  return found;
}

function runCli(args) {
  return new Promise((resolve) => {
    execFile(CLI, args, {timeout: 60000}, (err, stdout, stderr) =>
      resolve({code: err ? err.code : 0, stdout, stderr}));
  });
}

function rawRequest(port, text) {
  return new Promise((resolve, reject) => {
    // Written, not half-closed: the server answers and then closes (HTTP/1.0).
    const socket = net.connect(port, '127.0.0.1', () => socket.write(text));
    let reply = '';
    socket.on('data', (d) => { reply += d; });
    socket.on('end', () => resolve(reply));
    socket.on('error', reject);
    socket.setTimeout(60000, () => socket.destroy(new Error('no answer')));
  });
}

describe('panel over HTTP', () => {
  let panel;
  let token;
  before(async () => { panel = await PanelOnBus.start(); });
  after(async () => {
    const result = await panel.stop();
    assert.equal(result.code, 130, `the panel stops cleanly on Ctrl-C (128 + SIGINT): ${panel.stderr}`);
  });

  test('listens on 127.0.0.1 only', () => {
    assert.deepEqual(listeners(panel.port), ['0100007F']);
  });

  test('refuses to listen on anything but a loopback address', async () => {
    for (const address of ['0.0.0.0', '::', '192.168.1.10', 'example.com']) {
      const r = await runCli(['panel', '--port', '0', '--bind', address]);
      assert.equal(r.code, 2, `--bind ${address}: ${r.stdout}${r.stderr}`);
      assert.match(r.stderr, /loopback/);
    }
  });

  test('a foreign Host header is refused before routing', async () => {
    for (const host of ['evil.example', `evil.example:${panel.port}`, `127.0.0.1:${panel.port + 1}`,
                        `127.0.0.2:${panel.port}`, `localhost.evil.example:${panel.port}`]) {
      for (const path of ['/', '/api/devices', '/api/config']) {
        const r = await panel.request('GET', path, {headers: {Host: host}});
        assert.equal(r.status, 421, `${host} ${path}`);
        assert.match(r.json.error, /Host/);
      }
    }
    const post = await panel.request('POST', '/api/open', {
      headers: {Host: 'evil.example', Origin: 'http://evil.example', 'Content-Type': 'application/json'},
      body: JSON.stringify({device: KA})});
    assert.equal(post.status, 421);
    const noHost = await rawRequest(panel.port, 'GET /api/devices HTTP/1.0\r\n\r\n');
    assert.match(noHost, /^HTTP\/1\.[01] 421/);
  });

  test('the panel\'s own names are served', async () => {
    for (const host of [`127.0.0.1:${panel.port}`, `localhost:${panel.port}`, `LOCALHOST:${panel.port}`]) {
      const r = await panel.request('GET', '/', {headers: {Host: host}});
      assert.equal(r.status, 200, host);
      assert.match(r.text, /qelomsr panel/);
    }
    const page = await panel.get('/');
    assert.match(page.headers['content-security-policy'], /default-src 'self'/);
    assert.equal(page.headers['x-frame-options'], 'DENY');
    const plot = await panel.get('/vendor/uplot/uPlot.iife.min.js');
    assert.equal(plot.status, 200);
    assert.match(plot.headers['content-type'], /javascript/);
  });

  test('a state-changing request from elsewhere is refused and changes nothing', async () => {
    const body = JSON.stringify({device: KA});
    const cases = [
      [{Origin: 'http://evil.example', 'Content-Type': 'application/json'}, 403],
      [{Origin: `http://127.0.0.1:${panel.port + 1}`, 'Content-Type': 'application/json'}, 403],
      [{Origin: 'null', 'Content-Type': 'application/json'}, 403],
      [{'Content-Type': 'application/json'}, 403],  // no Origin: not from a page
      [{Origin: panel.origin, 'Content-Type': 'text/plain'}, 415],  // what a foreign form could send
      [{Origin: panel.origin}, 415],
    ];
    for (const [headers, status] of cases) {
      const r = await panel.request('POST', '/api/open', {headers, body});
      assert.equal(r.status, status, JSON.stringify(headers));
      assert.ok(r.json && r.json.error, 'a JSON error message');
    }
    const crossRead = await panel.request('GET', '/api/devices', {headers: {Origin: 'http://evil.example'}});
    assert.equal(crossRead.status, 403);
    const put = await panel.request('PUT', '/api/open', {headers: {Origin: panel.origin, 'Content-Type': 'application/json'}, body});
    assert.equal(put.status, 405);
    const devices = await panel.get('/api/devices');
    assert.equal(devices.json.find((d) => d.device === KA).state, 'free', 'nothing was opened');
  });

  test('the page opens a device; a second page finds it busy', async () => {
    const devices = await panel.get('/api/devices');
    assert.deepEqual(devices.json.map((d) => [d.device, d.family, d.firmware, d.state]),
                     [['USB:1-0-2-1', 'Vel', '1.4', 'free'], ['USB:1-0-2-4', 'Rix', '1.4', 'free'],
                      [KA, 'Ka', '1.4', 'free']]);
    const opened = await panel.post('/api/open', {device: 'usb:1-0-3'});
    assert.equal(opened.status, 200, opened.text);
    token = opened.json.token;
    assert.match(token, /^[0-9a-f]{32}$/);
    assert.equal(opened.json.state.device, KA);
    assert.equal(opened.json.state.connection, 'connected');
    const second = await panel.post('/api/open', {device: KA});
    assert.equal(second.status, 409);
    assert.match(second.json.error, /in use by another panel page/);
    const forged = await panel.post('/api/output', {output: 'AO-0', volts: 1}, 'f'.repeat(32));
    assert.equal(forged.status, 404);
    const mine = await panel.get('/api/devices', token);
    assert.equal(mine.json.find((d) => d.device === KA).state, 'yours');
    const theirs = await panel.get('/api/devices');
    assert.equal(theirs.json.find((d) => d.device === KA).state, 'busy');
  });

  test('bad input gets a clear error and changes nothing', async () => {
    assert.ok(token, 'needs the device opened by the previous test');
    const before = await panel.deviceState('1-3');
    const cases = [
      ['/api/output', '{"output": "AO-0", "volts": NaN}', 400, /not valid JSON/],
      ['/api/output', '{"output": "AO-0", "volts": 1e999}', 400, /./],
      ['/api/output', '{"output": "AO-0", "volts": 1e30}', 400, /-10 V to 10 V/],
      ['/api/output', '{"output": "AO-0", "volts": -10.5}', 400, /nothing was set/],
      ['/api/output', '{"output": "AO-0", "volts": "1"}', 400, /must be a number/],
      ['/api/output', '{"output": "AO-7", "volts": 1}', 404, /no analog output 'AO-7'/],
      ['/api/output', '{"output": "AO-0"}', 400, /'volts' is missing/],
      ['/api/output', '{"output": "AO-0", "volts": 1, "extra": 2}', 400, /Unknown field 'extra'/],
      ['/api/output', '{"output": "AO-0", "volts": 1', 400, /not valid JSON/],
      ['/api/output', '[1, 2]', 400, /JSON object/],
      ['/api/port', '{"port": "DP-0", "levels": 256}', 400, /0 to 255/],
      ['/api/port', '{"port": "DP-2", "outputEnable": 16}', 400, /0 to 15/],
      ['/api/port', '{"port": "DP-0", "levels": 1.5}', 400, /integer/],
      ['/api/port', '{"port": "DP-0", "levels": 18446744073709551617}', 400, /integer/],
      ['/api/port', '{"port": "DP-9", "levels": 1}', 404, /no digital port/],
      ['/api/port', '{"port": "DP-0"}', 400, /outputEnable/],
      ['/api/range', '{"input": "AI-0", "range": 4}', 400, /has no range 4/],
      ['/api/range', '{"input": "AI-0", "range": -1}', 400, /integer from 0/],
      ['/api/range', '{"input": "AI-99", "range": 0}', 404, /no analog input/],
      ['/api/led', '{"on": "yes"}', 400, /true or false/],
      ['/api/stream/start', '{"channels": ["AI-0"], "rate": 0}', 400, /rate/],
      ['/api/stream/start', '{"channels": ["AI-0", "AI-0"], "rate": 10}', 400, /twice/],
      ['/api/stream/start', '{"channels": ["AO-0"], "rate": 10}', 404, /no input 'AO-0'/],
      ['/api/stream/start', '{"channels": [], "rate": 10}', 400, /at least one/],
      ['/api/stream/start', `{"channels": ["${'A'.repeat(300)}"], "rate": 10}`, 400, /characters/],
      ['/api/save', '{"format": "xls"}', 409, /Nothing was streamed/],
    ];
    for (const [path, body, status, message] of cases) {
      const r = await panel.post(path, body, token);
      assert.equal(r.status, status, `${path} ${body}: ${r.text}`);
      assert.match(r.json.error, message, `${path} ${body}`);
    }
    const huge = await panel.post('/api/output', `{"output": "AO-0", "volts": 1, "pad": "${'x'.repeat(70000)}"}`, token);
    assert.equal(huge.status, 413);
    const state = await panel.get('/api/state', token);
    assert.equal(state.json.layout.outputs[0].volts, null);
    assert.equal(state.json.layout.ports[0].levels, 0);
    assert.equal(state.json.layout.inputs[0].range, 0);
    assert.equal(state.json.streaming, false);
    assert.deepEqual(await panel.deviceState('1-3'), before, 'the device saw no change');
  });

  test('a valid request reaches the device and reports what was set', async () => {
    const r = await panel.post('/api/output', {output: 'AO-1', volts: -2.5}, token);
    assert.equal(r.status, 200, r.text);
    assert.equal(r.json.layout.outputs[1].volts, -2.5);
    const device = await panel.deviceState('1-3');
    assert.ok(Math.abs(device.dacs[1].volts + 2.5) <= 20 / 4095, JSON.stringify(device.dacs));
    const refused = await panel.post('/api/stream/start', {channels: ['AI-0'], rate: 200000}, token);
    assert.equal(refused.status, 400);
    assert.match(refused.json.error, /Invalid frequency/);
  });

  test('what was streamed is saved as CSV and HDF5 by the tool\'s writers', async () => {
    const started = await panel.post('/api/stream/start', {channels: ['AI-0', 'DP-1', 'CNT'], rate: 200}, token);
    assert.equal(started.status, 200, started.text);
    // Saving while the stream runs takes what was recorded so far; the rows
    // are counted without the header and comment lines.
    const dataRows = (text) => text.trim().split('\n').filter((l) => !l.startsWith('#')).length - 1;
    let seen = 0;
    await waitFor('101 recorded frames', async () => {
      const r = await panel.post('/api/save', {format: 'csv'}, token);
      if (r.status === 200) seen = dataRows(r.text);
      return seen > 100;
    });
    const stopped = await panel.post('/api/stream/stop', {}, token);
    assert.equal(stopped.status, 200);
    const csv = await panel.post('/api/save', {format: 'csv'}, token);
    assert.equal(csv.status, 200);
    assert.match(csv.headers['content-disposition'], /attachment; filename="qelomsr-USB_1-0-3-.*\.csv"/);
    const lines = csv.text.trim().split('\n');
    assert.equal(lines[0], '# qelomsr recording, format 2');
    const table = lines.filter((l) => !l.startsWith('#'));
    assert.equal(table[0], 'time_s,AI-0,DP-1,CNT');
    const rows = table.slice(1).map((l) => l.split(',').map(Number));
    assert.ok(rows.length >= seen, `${rows.length} rows after the stop, ${seen} before it`);
    rows.forEach((row, i) => {
      assert.ok(Math.abs(row[0] - i / 200) < 1e-9 || lines.some((l) => l.startsWith('# overrun')), `time of row ${i}`);
      assert.ok(Math.abs(row[1] - 1.25) <= 0.003, `AI-0 of row ${i}: ${row[1]}`);
      assert.equal(row[2], 0);
    });
    const h5 = await panel.request('POST', '/api/save', {
      headers: {Origin: panel.origin, 'Content-Type': 'application/json', 'X-Panel-Token': token},
      body: JSON.stringify({format: 'hdf5'})});
    assert.equal(h5.status, 200);
    assert.match(h5.headers['content-disposition'], /\.h5"/);
    assert.equal(h5.text.slice(1, 4), 'HDF');
    const bad = await panel.post('/api/save', {format: 'xls'}, token);
    assert.equal(bad.status, 400);
  });

  test('an output shows the voltage its DAC code produces', async () => {
    const r = await panel.post('/api/output', {output: 'AO-0', volts: 0.003}, token);
    assert.equal(r.status, 200, r.text);
    const out = r.json.layout.outputs[0];
    assert.equal(out.volts, 0.003, 'the value asked for');
    const device = await panel.deviceState('1-3');
    assert.ok(Math.abs(out.producedVolts - device.dacs[0].volts) < 1e-5,
              `${out.producedVolts} V reported, the DAC gives ${device.dacs[0].volts} V`);
    assert.ok(Math.abs(out.producedVolts - 0.003) > 0.001, 'a 12-bit DAC cannot give 3 mV');
    assert.equal(out.calibrated, true);
  });

  test('ranges are the shortest float32 decimals', async () => {
    const state = await panel.get('/api/state', token);
    const ranges = state.json.layout.inputs[0].ranges.map((r) => `${r.min} … ${r.max}`);
    assert.deepEqual(ranges, ['-10 … 10', '-1 … 1', '-0.1 … 0.1', '-0.01 … 0.01']);
    assert.deepEqual(state.json.layout.uncalibrated, []);
  });

  test('a failed switch keeps the device of the page and its recording; an unsaved one is not thrown away unasked', async () => {
    const started = await panel.post('/api/stream/start', {channels: ['AI-1'], rate: 100}, token);
    assert.equal(started.status, 200, started.text);
    await waitFor('recorded frames', async () =>
      (await panel.awaitEvent(token, (name, d) => name === 'streamstatus' && d.recordedFrames > 10 && d)));
    assert.equal((await panel.post('/api/stream/stop', {}, token)).status, 200);

    const unknown = await panel.post('/api/open', {device: 'USB:9-0-9'}, token);
    assert.equal(unknown.status, 404, unknown.text);
    // Another page holds the Vel: busy.
    const other = await panel.post('/api/open', {device: 'USB:1-0-2-1'});
    assert.equal(other.status, 200, other.text);
    const busy = await panel.post('/api/open', {device: 'vel'}, token);
    assert.equal(busy.status, 409);
    assert.match(busy.json.error, /in use by another panel page/);
    // A free device, but the recording was not saved: the page must confirm.
    const unsaved = await panel.post('/api/open', {device: 'USB:1-0-2-4'}, token);
    assert.equal(unsaved.status, 409);
    assert.equal(unsaved.json.code, 'unsaved');
    assert.match(unsaved.json.error, /not saved/);
    const closing = await panel.post('/api/close', {}, token);
    assert.equal(closing.json.code, 'unsaved');

    const state = await panel.get('/api/state', token);
    assert.equal(state.json.connection, 'connected', 'the page still drives its device');
    assert.equal(state.json.device, KA);
    const saved = await panel.post('/api/save', {format: 'csv'}, token);
    assert.equal(saved.status, 200, 'the recording is still there');
    assert.ok(saved.text.trim().split('\n').length > 10);
    assert.equal((await panel.post('/api/close', {}, other.json.token)).status, 200);
  });

  test('a slow log reads the inputs every so many seconds and is saved like a stream', async () => {
    const started = await panel.post('/api/log/start', {channels: ['AI-0', 'DP-1'], everySeconds: 0.2}, token);
    assert.equal(started.status, 200, started.text);
    assert.equal(started.json.running, 'log');
    const status = await panel.awaitEvent(token, (name, d) => name === 'streamstatus' && d.recordedFrames >= 3 && d);
    assert.equal(status.kind, 'log');
    assert.equal(status.everySeconds, 0.2);
    // The live readings go on during a log.
    await panel.awaitEvent(token, (name, d) => name === 'snapshot' && !d.streaming && d.inputs['AI-1'] !== null);
    const refused = await panel.post('/api/range', {input: 'AI-0', range: 1}, token);
    assert.equal(refused.status, 409, 'the ranges stay as the log started');
    assert.equal((await panel.post('/api/stream/stop', {}, token)).status, 200);
    const csv = await panel.post('/api/save', {format: 'csv'}, token);
    const rows = csv.text.trim().split('\n').filter((l) => !l.startsWith('#')).slice(1)
      .map((l) => l.split(',').map(Number));
    assert.ok(rows.length >= 3);
    rows.forEach((row, i) => {
      assert.ok(i === 0 || row[0] > rows[i - 1][0], 'host times increase');
      assert.ok(Math.abs(row[1] - 1.25) <= 0.003, `AI-0 ${row[1]}`);
    });
    const tooOften = await panel.post('/api/log/start', {channels: ['AI-0'], everySeconds: 0.01}, token);
    assert.equal(tooOften.status, 400);
  });

  test('clipped samples are counted per channel', async () => {
    // 1.25 V on the 10 mV range: every sample sits at the converter's end.
    const range = await panel.post('/api/range', {input: 'AI-0', range: 3}, token);
    assert.equal(range.status, 200, range.text);
    const snap = await panel.awaitEvent(token, (name, d) => name === 'snapshot' && d.clipped.includes('AI-0') && d);
    assert.ok(snap.inputs['AI-0'] > 0.0099 && snap.inputs['AI-0'] < 0.0102, `${snap.inputs['AI-0']}`);
    assert.ok(!snap.clipped.includes('AI-1'));
    const started = await panel.post('/api/stream/start', {channels: ['AI-0', 'AI-1'], rate: 100, discard: true}, token);
    assert.equal(started.status, 200, started.text);
    const status = await panel.awaitEvent(token, (name, d) => name === 'streamstatus' && d.frames >= 10 && d);
    const counts = Object.fromEntries(status.clipped.map((c) => [c.name, c.clipped]));
    assert.equal(counts['AI-0'], status.frames, 'every sample of AI-0 clipped');
    assert.equal(counts['AI-1'], 0);
    assert.equal((await panel.post('/api/stream/stop', {}, token)).status, 200);
    // The saved file counts the same samples as clipped.
    const csv = (await panel.post('/api/save', {format: 'csv'}, token)).text.split('\n');
    const rows = csv.filter((l) => l !== '' && !l.startsWith('#')).length - 1;
    assert.ok(csv.includes(`# clipped AI-0 ${rows}`), csv.filter((l) => l.startsWith('#')).join('|'));
    assert.ok(csv.includes('# clipped AI-1 0'));
    assert.ok(csv.some((l) => /^# device USB:1-0-3, family Ka,/.test(l)));
    assert.equal((await panel.post('/api/range', {input: 'AI-0', range: 0}, token)).status, 200);
  });

  test('an erased calibration is named', async () => {
    const rix = await panel.post('/api/open', {device: 'rix'});
    assert.equal(rix.status, 200, rix.text);
    const layout = rix.json.state.layout;
    assert.deepEqual(layout.uncalibrated, ['AI-0', 'AI-1', 'AI-2', 'AI-3', 'VBUSREF', 'VREF']);
    assert.ok(layout.inputs.every((i) => i.ranges.every((r) => r.calibrated === false)));
    assert.equal((await panel.post('/api/close', {}, rix.json.token)).status, 200);
  });

  test('closing frees the device', async () => {
    const closed = await panel.post('/api/close', {discard: true}, token);
    assert.equal(closed.status, 200);
    await waitFor('the device to be free again', async () =>
      (await panel.get('/api/devices')).json.find((d) => d.device === KA)?.state === 'free');
  });
});
