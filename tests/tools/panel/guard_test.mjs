// The panel answers its page whatever other local programs do to it, with
// real sockets: clients that send their headers a byte at a time, many idle
// connections, extra event streams, a chunked body past the limit. Every
// check waits with generous bounds for the page's answers while the attack
// runs; none measures how fast they come.
import assert from 'node:assert/strict';
import net from 'node:net';
import {after, before, describe, test} from 'node:test';

import {PanelOnBus, waitFor} from './harness.mjs';

const KA = 'USB:1-0-3';

// A raw connection that records what the server sent and when it closed.
function connect(port) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1');
    socket.reply = '';
    socket.ended = false;
    socket.on('data', (d) => { socket.reply += d; });
    socket.on('close', () => { socket.ended = true; });
    socket.on('error', (e) => { socket.error = e.code; });
    socket.once('connect', () => resolve(socket));
    socket.once('error', reject);
  });
}

describe('panel under load from other local programs', () => {
  let panel;
  let token;
  const sockets = [];
  const timers = [];
  before(async () => {
    panel = await PanelOnBus.start();
    const opened = await panel.post('/api/open', {device: KA});
    assert.equal(opened.status, 200, opened.text);
    token = opened.json.token;
  });
  after(async () => {
    for (const t of timers) clearInterval(t);
    for (const s of sockets) s.destroy();
    const result = await panel.stop();
    assert.equal(result.code, 130, `the panel stops cleanly on Ctrl-C: ${panel.stderr}`);
  });

  // What the page asks for: its files, the device list, its device's state, an output.
  async function pageIsAnswered() {
    const page = await panel.get('/');
    assert.equal(page.status, 200, page.text.slice(0, 200));
    const devices = await panel.get('/api/devices');
    assert.equal(devices.status, 200, devices.text);
    const state = await panel.get('/api/state', token);
    assert.equal(state.status, 200, state.text);
    const output = await panel.post('/api/output', {output: 'AO-1', volts: 0.5}, token);
    assert.equal(output.status, 200, output.text);
  }

  test('slow-header clients, idle connections and extra event streams leave the page answered', async () => {
    // 20 clients that send their request one byte every two seconds.
    const slow = [];
    const request = `GET / HTTP/1.1\r\nHost: 127.0.0.1:${panel.port}\r\nX-Padding: ${'x'.repeat(200)}\r\n\r\n`;
    for (let i = 0; i < 20; i++) {
      const s = await connect(panel.port);
      let sent = 0;
      s.write(request[sent++]);
      timers.push(setInterval(() => { if (!s.ended && sent < request.length) s.write(request[sent++]); }, 2000));
      slow.push(s);
    }
    // 100 connections that send nothing.
    const idle = [];
    for (let i = 0; i < 100; i++) idle.push(await connect(panel.port));
    // 15 more event streams with the page's token (the page holds one more).
    const streams = [];
    for (let i = 0; i < 16; i++) {
      const s = await connect(panel.port);
      s.write(`GET /api/events?token=${token} HTTP/1.1\r\nHost: 127.0.0.1:${panel.port}\r\n\r\n`);
      streams.push(s);
    }
    sockets.push(...slow, ...idle, ...streams);
    await waitFor('every extra event stream answered', () => streams.every((s) => /^HTTP\/1\.1 \d{3}/.test(s.reply)));
    const accepted = streams.filter((s) => s.reply.startsWith('HTTP/1.1 200'));
    assert.equal(accepted.length, 2, `two event streams per page: ${streams.map((s) => s.reply.slice(0, 12)).join(', ')}`);
    assert.ok(streams.filter((s) => !accepted.includes(s)).every((s) => s.reply.startsWith('HTTP/1.1 429')));

    await pageIsAnswered();
    assert.ok(idle.every((s) => !s.ended),
              `the page was answered while the idle connections were held: ${idle.filter((s) => s.ended).length} closed`);

    // A header that does not arrive in time is refused: the slow clients are closed.
    await waitFor('the slow clients closed by the panel', () => slow.every((s) => s.ended), 60000);
    assert.ok(slow.every((s) => s.reply.startsWith('HTTP/1.1 408')),
              slow.map((s) => JSON.stringify(s.reply.slice(0, 40))).join(', '));
    await pageIsAnswered();
  });

  test('a chunked body past the limit is refused after a bounded read; one within it is served', async () => {
    const s = await connect(panel.port);
    sockets.push(s);
    s.write(`POST /api/output HTTP/1.1\r\nHost: 127.0.0.1:${panel.port}\r\nOrigin: ${panel.origin}\r\n` +
            `Content-Type: application/json\r\nX-Panel-Token: ${token}\r\nTransfer-Encoding: chunked\r\n\r\n`);
    const chunk = 'x'.repeat(16 * 1024);
    let written = 0;
    const limit = 64 << 20;
    while (!s.reply && !s.ended && written < limit) {
      const drained = s.write(`${chunk.length.toString(16)}\r\n${chunk}\r\n`);
      written += chunk.length;
      if (!drained) {
        await Promise.race([new Promise((r) => s.once('drain', r)), new Promise((r) => s.once('close', r)),
                            new Promise((r) => setTimeout(r, 1000))]);
      } else {
        // A write the kernel took at once: let the answer in before the next.
        await new Promise((r) => setImmediate(r));
      }
    }
    await waitFor('the answer', () => s.reply.includes('\r\n\r\n') || s.ended);
    assert.match(s.reply, /^HTTP\/1\.1 413/, `after ${written} bytes, error ${s.error}: ${JSON.stringify(s.reply)}`);
    assert.ok(written < limit, `the panel stopped reading: ${written} bytes were sent`);

    // The same request within the limit, chunked as Node sends a body without a length.
    const small = await panel.request('POST', '/api/output', {
      headers: {Origin: panel.origin, 'Content-Type': 'application/json', 'X-Panel-Token': token,
                'Transfer-Encoding': 'chunked'},
      body: JSON.stringify({output: 'AO-1', volts: 0.25}), chunked: true});
    assert.equal(small.status, 200, small.text);
    assert.equal(small.json.layout.outputs[1].volts, 0.25);
  });

  test('requests the panel does not take are refused with a reason', async () => {
    const cases = [
      ['POST /api/led HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nx', 400],
      ['POST /api/led HTTP/1.1\r\nContent-Encoding: gzip\r\nContent-Length: 1\r\n\r\nx', 415],
      ['POST /api/led HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 1\r\n\r\n', 417],
      [`GET / HTTP/1.1\r\nX: ${'y'.repeat(20000)}\r\n\r\n`, 431],
    ];
    for (const [text, status] of cases) {
      const s = await connect(panel.port);
      sockets.push(s);
      s.write(text);
      await waitFor(`the answer to ${text.slice(0, 40)}`, () => s.ended);
      assert.match(s.reply, new RegExp(`^HTTP/1\\.1 ${status} `),
                   `${text.slice(0, 60)} (error ${s.error}): ${JSON.stringify(s.reply)}`);
      assert.match(s.reply, /"error":"/);
    }
  });
});
