// Runs `qelomsr panel` on the virtual USB bus for a test and talks to both:
// HTTP requests to the panel, control commands to the bus.
//
// Environment (set by CTest): QELOMSR_CLI, QELOMSR_RUNNER, and for browser
// tests CHROMIUM (default /usr/bin/chromium) and PANEL_ARTIFACTS (where
// screenshots go).
import {spawn, execFile} from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
export const CLI = process.env.QELOMSR_CLI;
export const RUNNER = process.env.QELOMSR_RUNNER;
export const DEVICES = path.join(here, 'devices.json');

// Polls until check() returns a truthy value; fails after timeoutMs with what
// the last check saw. Never a fixed sleep: the machine may be slow.
export async function waitFor(what, check, timeoutMs = 30000, everyMs = 100) {
  const deadline = Date.now() + timeoutMs;
  let last;
  for (;;) {
    try {
      last = await check();
      if (last) return last;
    } catch (e) {
      last = e;
    }
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what} (last: ${last})`);
    await new Promise((r) => setTimeout(r, everyMs));
  }
}

export class PanelOnBus {
  // Starts the panel; args are extra arguments of `qelomsr panel`.
  static async start(args = [], config = DEVICES) {
    if (!CLI || !RUNNER) throw new Error('QELOMSR_CLI and QELOMSR_RUNNER must name the tool and the bus runner');
    const p = new PanelOnBus();
    p.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qelomsr-panel-test-'));
    p.control = path.join(p.dir, 'control.sock');
    p.child = spawn(RUNNER, ['--config', config, '--control-socket', p.control, '--',
                             CLI, 'panel', '--port', '0', ...args],
                    {stdio: ['ignore', 'pipe', 'pipe']});
    p.stdout = '';
    p.stderr = '';
    p.exited = new Promise((resolve) => p.child.on('exit', (code, signal) => resolve({code, signal})));
    p.child.stdout.on('data', (d) => { p.stdout += d; });
    p.child.stderr.on('data', (d) => { p.stderr += d; });
    await waitFor('the panel to print its URL', () => {
      if (p.child.exitCode !== null) throw new Error(`panel exited: ${p.stdout}${p.stderr}`);
      const url = p.stdout.match(/serving (http:\/\/127\.0\.0\.1:(\d+)\/)/);
      if (!url) return false;
      p.url = url[1];
      p.port = Number(url[2]);
      p.origin = `http://127.0.0.1:${p.port}`;
      return true;
    }, 60000);
    return p;
  }

  // Ctrl-C, then waits for the panel to close its devices and exit.
  async stop() {
    if (this.child.exitCode !== null || this.child.signalCode !== null) return this.exited;
    this.child.kill('SIGINT');
    const timer = setTimeout(() => this.child.kill('SIGKILL'), 30000);
    const result = await this.exited;
    clearTimeout(timer);
    fs.rmSync(this.dir, {recursive: true, force: true});
    return result;
  }

  // One command on the bus's control channel ("unplug 1-3", "state 1-3").
  ctl(...words) {
    return new Promise((resolve, reject) => {
      execFile(RUNNER, ['ctl', ...words], {env: {...process.env, QELOMSR_VBUS_CONTROL: this.control}},
               (err, stdout, stderr) => (err ? reject(new Error(`ctl ${words.join(' ')}: ${stdout}${stderr}`))
                                             : resolve(stdout)));
    });
  }

  // The outputs of the emulated device at a port, from the bus itself:
  // {dacs: [{code, volts}], ports: [{enable, latch, pins}], led}.
  async deviceState(port) {
    const values = {};
    for (const line of (await this.ctl('state', port)).split('\n')) {
      const m = line.match(/^(\w+) (\S+)$/);
      if (m) values[m[1]] = m[2];
    }
    const state = {dacs: [], ports: [], led: values.led === '1'};
    for (let i = 0; `dac${i}Code` in values; i++) {
      state.dacs.push({code: Number(values[`dac${i}Code`]), volts: Number(values[`dac${i}Volts`])});
    }
    for (let i = 0; `port${i}Enable` in values; i++) {
      state.ports.push({enable: Number(values[`port${i}Enable`]), latch: Number(values[`port${i}Latch`]),
                        pins: Number(values[`port${i}Pins`])});
    }
    return state;
  }

  // A raw HTTP request; headers are sent as given (Host included). A body
  // goes with its length, or chunked.
  request(method, urlPath, {headers = {}, body, chunked = false} = {}) {
    if (body !== undefined && !chunked) headers = {'Content-Length': Buffer.byteLength(body), ...headers};
    return new Promise((resolve, reject) => {
      const req = http.request({host: '127.0.0.1', port: this.port, method, path: urlPath,
                                headers: {Host: `127.0.0.1:${this.port}`, ...headers},
                                setHost: false, agent: false}, (res) => {
        let text = '';
        res.setEncoding('utf8');
        res.on('data', (d) => { text += d; });
        res.on('end', () => {
          let json = null;
          try { json = JSON.parse(text); } catch (e) { json = null; }
          resolve({status: res.statusCode, headers: res.headers, text, json});
        });
      });
      req.on('error', reject);
      req.setTimeout(60000, () => req.destroy(new Error(`${method} ${urlPath}: no answer`)));
      if (body !== undefined) req.write(body);
      req.end();
    });
  }

  // Reads the page's event stream until check(name, data) returns a truthy
  // value (data parsed from JSON), and returns it; fails after timeoutMs.
  awaitEvent(token, check, timeoutMs = 30000) {
    return new Promise((resolve, reject) => {
      const req = http.get({host: '127.0.0.1', port: this.port, path: `/api/events?token=${token}`,
                            headers: {Host: `127.0.0.1:${this.port}`}, setHost: false, agent: false}, (res) => {
        let text = '';
        res.setEncoding('utf8');
        res.on('data', (d) => {
          text += d;
          let end;
          while ((end = text.indexOf('\n\n')) >= 0) {
            const block = text.slice(0, end);
            text = text.slice(end + 2);
            const name = (block.match(/^event: (.*)$/m) || [])[1];
            const data = (block.match(/^data: (.*)$/m) || [])[1];
            if (!name || data === undefined) continue;
            const found = check(name, JSON.parse(data));
            if (found) {
              clearTimeout(timer);
              req.destroy();
              resolve(found);
            }
          }
        });
      });
      const timer = setTimeout(() => { req.destroy(); reject(new Error('timed out waiting for an event')); }, timeoutMs);
      req.on('error', () => {});
    });
  }

  // A request as the panel's own page makes it.
  post(urlPath, body, token, extra = {}) {
    const headers = {'Origin': this.origin, 'Content-Type': 'application/json', ...extra};
    if (token) headers['X-Panel-Token'] = token;
    return this.request('POST', urlPath, {headers, body: typeof body === 'string' ? body : JSON.stringify(body)});
  }
  get(urlPath, token) {
    return this.request('GET', urlPath, {headers: token ? {'X-Panel-Token': token} : {}});
  }
}
