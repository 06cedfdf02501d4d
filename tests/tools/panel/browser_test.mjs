// The panel in a real browser (headless Chromium, Debian's chromium, driven by
// puppeteer-core) against emulated devices on the virtual bus: what the page
// shows is compared with what the emulator injects and what reached it.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import {after, before, describe, test} from 'node:test';

import {PanelOnBus, waitFor} from './harness.mjs';

let puppeteer;
try {
  puppeteer = (await import('puppeteer-core')).default;
} catch (e) {
  throw new Error('puppeteer-core is missing: run scripts/setup (npm ci in tests/tools/panel)');
}

const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const ARTIFACTS = process.env.PANEL_ARTIFACTS || os.tmpdir();
const KA = 'USB:1-0-3';
// Injected by devices.json on the Ka: AI-0 1.25 V, AI-1 -3.5 V, AI-2 0.5 V (DC);
// AO-0 is wired to AI-3 and DP-0 to DP-1.
const AI0 = 1.25;
const AI1 = -3.5;
const AI2 = 0.5;
// A few converter steps of the +-10 V range (16 bits) and of the DAC (12 bits).
const ADC_TOLERANCE = 0.003;
const DAC_STEP = 20 / 4095;

const attr = (p, selector, name) => p.$eval(selector, (e, n) => e.dataset[n], name).catch(() => undefined);
const text = (p, selector) => p.$eval(selector, (e) => e.textContent).catch(() => '');
const near = (value, target, tolerance) => Number.isFinite(value) && Math.abs(value - target) <= tolerance;

async function reading(p, name) {
  const v = await attr(p, `[data-reading="${name}"]`, 'volts');
  return v === undefined || v === '' ? NaN : Number(v);
}

describe('panel in the browser', () => {
  let panel;
  let browser;
  let page;
  let profile;
  // The answer to the page's questions (a recording not saved yet): yes,
  // unless a test says otherwise.
  let answerDialog = (d) => d.accept();

  before(async () => {
    assert.ok(fs.existsSync(CHROMIUM), `${CHROMIUM} is missing: run scripts/setup`);
    panel = await PanelOnBus.start(['--device', KA]);
    profile = fs.mkdtempSync(path.join(os.tmpdir(), 'qelomsr-panel-chromium-'));
    browser = await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      userDataDir: profile,
      args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             '--disable-dev-shm-usage'],
      protocolTimeout: 120000,
    });
    page = await browser.newPage();
    await page.setViewport({width: 1280, height: 1500});
    page.setDefaultTimeout(60000);
    page.on('pageerror', (e) => { throw new Error('page error: ' + e.message); });
    page.on('dialog', (d) => answerDialog(d));
    await page.goto(panel.url);
  });

  after(async () => {
    if (browser) await browser.close();
    if (profile) fs.rmSync(profile, {recursive: true, force: true});
    if (panel) {
      const result = await panel.stop();
      assert.equal(result.code, 130, `the panel stops cleanly on Ctrl-C (128 + SIGINT): ${panel.stderr}`);
    }
  });

  test('lists the three devices and starts on the live view of --device', async () => {
    await waitFor('three devices listed', async () =>
      (await page.$$('#device-table tbody tr[data-device]')).length === 3);
    const rows = await page.$$eval('#device-table tbody tr[data-device]', (rows) =>
      rows.map((r) => [...r.cells].slice(0, 3).map((c) => c.textContent).concat(r.dataset.state)));
    assert.deepEqual(rows, [['USB:1-0-2-1', 'Vel', '1.4', 'free'], ['USB:1-0-2-4', 'Rix', '1.4', 'free'],
                            [KA, 'Ka', '1.4', 'yours']]);
    assert.equal(await page.$eval('#device', (e) => e.hidden), false);
    assert.match(await text(page, '#device-title'), /USB:1-0-3 — Ka, firmware 1\.4/);
    assert.match(await text(page, '#reset-note'), /reset it/);
    assert.match(await text(page, '#devices .note'), /Opening a device resets it/);
  });

  test('inputs show the injected voltages, live, in volts', async () => {
    await waitFor('AI-0 and AI-1 readings', async () =>
      near(await reading(page, 'AI-0'), AI0, ADC_TOLERANCE) &&
      near(await reading(page, 'AI-1'), AI1, ADC_TOLERANCE));
    assert.match(await text(page, '[data-reading="AI-0"]'), /^1\.2\d{3} V$/);
    // Every input of the Ka has a reading, differential ones included.
    const names = await page.$$eval('[data-reading]', (cells) => cells.map((c) => c.dataset.reading));
    assert.equal(names.length, 21);
    assert.ok(names.includes('AI-0/AI-1'));
    // AI-0/AI-1 is the difference of the two DC inputs.
    await waitFor('the differential reading', async () =>
      near(await reading(page, 'AI-0/AI-1'), AI0 - AI1, 2 * ADC_TOLERANCE));
    await waitFor('a temperature', async () => (await text(page, '[data-temperature]')).endsWith('°C'));
    assert.match(await text(page, '#extras'), /200uA/);
  });

  test('a range change reaches the device', async () => {
    await page.select('select[data-range="AI-2"]', '1');
    await waitFor('AI-2 in the 1 V range', async () =>
      (await page.$eval('select[data-range="AI-2"]', (s) => s.value)) === '1' &&
      (await page.evaluate(() => page.layout.inputs.find((i) => i.name === 'AI-2').range)) === 1);
    // The cell shows the reading it had until the next reading comes, taken
    // in the new range and shown with that range's five decimals; 0.5 V also
    // reads near 0.5 in the 10 V range, so the digits tell the two apart.
    await waitFor('AI-2 read in the 1 V range', async () =>
      near(await reading(page, 'AI-2'), AI2, 0.0003) &&
      /^0\.500\d{2} V$/.test(await text(page, '[data-reading="AI-2"]')));
  });

  test('setting AO-0 reaches the emulated device and shows the value set', async () => {
    await page.$eval('[data-output-value="AO-0"]', (e) => { e.value = '1.25'; });
    await page.click('[data-output-set="AO-0"]');
    await waitFor('AO-0 shown as set', async () => (await attr(page, '[data-output-state="AO-0"]', 'requested')) === '1.25');
    const device = await panel.deviceState('1-3');
    assert.ok(near(device.dacs[0].volts, 1.25, DAC_STEP), `the DAC holds ${device.dacs[0].volts} V`);
    // The page shows what the DAC produces, not the value asked for.
    const shown = Number(await attr(page, '[data-output-state="AO-0"]', 'volts'));
    assert.ok(near(shown, device.dacs[0].volts, 1e-5), `shown ${shown} V, the DAC gives ${device.dacs[0].volts} V`);
    assert.match(await text(page, '[data-output-state="AO-0"]'), /^set: 1\.2\d* V/);
    // AO-0 is wired to AI-3 (devices.json): the page reads back what the DAC drives.
    await waitFor('AI-3 reading AO-0', async () =>
      near(await reading(page, 'AI-3'), device.dacs[0].volts, ADC_TOLERANCE));

    // Out of range: refused in place, the value set before stays.
    await page.$eval('[data-output-value="AO-0"]', (e) => { e.value = '12'; });
    await page.click('[data-output-set="AO-0"]');
    await waitFor('the refusal', async () => /-10 V to 10 V/.test(await text(page, '#outputs-error')));
    assert.equal(await attr(page, '[data-output-state="AO-0"]', 'requested'), '1.25');
    assert.deepEqual((await panel.deviceState('1-3')).dacs[0], device.dacs[0]);
  });

  test('switching DP-0 lines reaches the device and comes back through its loopback to DP-1', async () => {
    for (const bit of [0, 2]) {
      await page.click(`[data-oe="DP-0"][data-bit="${bit}"]`);
      await waitFor(`DP-0 line ${bit} an output`, async () =>
        !(await page.$eval(`[data-level="DP-0"][data-bit="${bit}"]`, (e) => e.disabled)));
      await page.click(`[data-level="DP-0"][data-bit="${bit}"]`);
      await waitFor(`DP-0 line ${bit} high`, async () =>
        (await page.evaluate((b) => (page.layout.ports[0].levels >> b) & 1, bit)) === 1);
    }
    const device = await panel.deviceState('1-3');
    assert.deepEqual(device.ports[0], {enable: 0x05, latch: 0x05, pins: 0x05});
    await waitFor('DP-1 pins 0x05 (loopback from DP-0)', async () =>
      (await attr(page, '[data-port-value="DP-1"]', 'levels')) === '5');
    await waitFor('DP-0 pins 0x05', async () => (await attr(page, '[data-port-value="DP-0"]', 'levels')) === '5');
    assert.equal(await page.$eval('[data-pin="DP-1"][data-bit="2"]', (e) => e.classList.contains('on')), true);
  });

  test('a second page sees the device as busy', async () => {
    const other = await browser.newPage();
    try {
      await other.goto(panel.url);
      await waitFor('the busy message', async () => /in use by another panel page/.test(await text(other, '#list-error')));
      await waitFor('the busy row', async () =>
        (await attr(other, `#device-table tr[data-device="${KA}"]`, 'state')) === 'busy');
      assert.equal(await other.$eval(`#device-table tr[data-device="${KA}"] button`, (b) => b.disabled), true);
      assert.equal(await other.$eval('#device', (e) => e.hidden), true);
    } finally {
      await other.close();
    }
    // The first page still drives it.
    assert.equal(await text(page, '#connection'), 'connected');
  });

  test('a page of another origin cannot drive the panel', async () => {
    const foreign = await browser.newPage();
    try {
      await foreign.goto('about:blank');
      const before = await panel.deviceState('1-3');
      await foreign.evaluate(async (url) => {
        const attempts = [
          fetch(url + 'api/output', {method: 'POST', mode: 'no-cors', headers: {'Content-Type': 'text/plain'},
                                    body: '{"output": "AO-0", "volts": -5}'}),
          fetch(url + 'api/open', {method: 'POST', headers: {'Content-Type': 'application/json'},
                                  body: '{"device": "USB:1-0-2-4"}'}),
        ];
        await Promise.allSettled(attempts);
      }, panel.url);
      assert.deepEqual(await panel.deviceState('1-3'), before);
      const devices = (await panel.get('/api/devices')).json;
      assert.equal(devices.find((d) => d.device === 'USB:1-0-2-4').state, 'free');
    } finally {
      await foreign.close();
    }
  });

  test('a stream plots points, and a refused rate is shown in place', async () => {
    await page.click('[data-channel="AI-2"]');  // AI-0 is ticked already
    await page.$eval('#stream-rate', (e) => { e.value = '200'; });
    await page.click('#stream-start');
    await waitFor('points in the plot', async () => Number(await attr(page, '#plot', 'points')) >= 200);
    await waitFor('the stream status', async () => Number(await attr(page, '#stat-frames', 'value')) >= 200);
    assert.match(await text(page, '#stat-device-rate'), /^200\.00 Hz$/);
    const plotted = await page.evaluate(() => page.stream.v.map((values) => values.filter((v) => v !== null)));
    assert.ok(plotted[0].length >= 200 && plotted[0].every((v) => near(v, 1.25, 0.003)), 'AI-0 plotted at 1.25 V');
    assert.ok(plotted[1].every((v) => Math.abs(v - 0.5) <= 0.0003), 'AI-2 plotted at 0.5 V');
    assert.equal(await attr(page, '#stat-overruns', 'value'), '0');
    // While streaming the live view shows the streamed inputs.
    await waitFor('AI-0 live from the stream', async () => near(await reading(page, 'AI-0'), AI0, ADC_TOLERANCE));
    await waitFor('a full plot for the screenshot', async () => Number(await attr(page, '#plot', 'points')) >= 600);
    await page.screenshot({path: path.join(ARTIFACTS, 'panel-live.png'), fullPage: true});

    await page.click('#stream-stop');
    await waitFor('the stream to stop', async () => !(await page.$eval('#stream-start', (b) => b.disabled)));
    await page.$eval('#stream-rate', (e) => { e.value = '200000'; });
    await page.click('#stream-start');
    await waitFor('the refused rate', async () => /Invalid frequency/.test(await text(page, '#stream-error')));
    assert.equal(await page.$eval('#stream-stop', (b) => b.disabled), true);
  });

  test('unplugging shows an error in place; replugging recovers without a reload', async () => {
    await page.$eval('#stream-rate', (e) => { e.value = '200'; });
    await page.click('#stream-start');
    await waitFor('the stream to run', async () =>
      !(await page.$eval('#stream-stop', (b) => b.disabled)) &&
      Number(await attr(page, '#stat-frames', 'value')) > 0);
    const navigations = await page.evaluate(() => performance.getEntriesByType('navigation').length);
    await page.evaluate(() => { window.notReloaded = true; });

    await panel.ctl('unplug', '1-3');
    try {
      await waitFor('the lost connection', async () => (await text(page, '#connection')) === 'lost');
      // What happened first, the library's words after it.
      assert.match(await text(page, '#device-error'), /^USB:1-0-3 was unplugged\. \(.*LIBUSB_ERROR_NO_DEVICE/);
      await waitFor('the stream stopped', async () => /Stopped: USB:1-0-3 was unplugged/.test(await text(page, '#stream-error')));
      // A value typed and refused while the device is away.
      await page.$eval('[data-output-value="AO-0"]', (e) => { e.value = '3.3'; });
      await page.click('[data-output-set="AO-0"]');
      await waitFor('the refusal', async () => /not connected/.test(await text(page, '#outputs-error')));
    } finally {
      await panel.ctl('replug', '1-3');
    }
    await waitFor('the connection back', async () => (await text(page, '#connection')) === 'connected');
    assert.match(await text(page, '#device-notice'), /reset it/);
    await waitFor('readings again', async () => near(await reading(page, 'AI-0'), AI0, ADC_TOLERANCE));
    // The page shows the device as it is now: no old errors, the outputs at 0 V.
    assert.match(await text(page, '[data-output-state="AO-0"]'), /reset state/);
    assert.equal(await text(page, '#device-error'), '');
    assert.equal(await text(page, '#outputs-error'), '');
    assert.equal(await page.$eval('[data-output-value="AO-0"]', (e) => e.value), '0');
    assert.equal((await panel.deviceState('1-3')).dacs[0].volts, 0);
    assert.equal(await page.evaluate(() => window.notReloaded), true, 'the page was not reloaded');
    assert.equal(await page.evaluate(() => performance.getEntriesByType('navigation').length), navigations);
    // It works again: an output reaches the device.
    await page.$eval('[data-output-value="AO-0"]', (e) => { e.value = '-0.75'; });
    await page.click('[data-output-set="AO-0"]');
    await waitFor('AO-0 set after the replug', async () =>
      near((await panel.deviceState('1-3')).dacs[0].volts, -0.75, DAC_STEP));
  });

  test('an overrun is counted and marked as a gap in the plot; the stream goes on', async () => {
    await page.$eval('#stream-rate', (e) => { e.value = '200'; });
    await page.click('#stream-start');
    await waitFor('the stream to run', async () =>
      !(await page.$eval('#stream-stop', (b) => b.disabled)) &&
      Number(await attr(page, '#stat-frames', 'value')) > 0);
    await panel.ctl('fault', '1-3', 'forceOverflow', 'on');
    try {
      await waitFor('an overrun', async () => Number(await attr(page, '#stat-overruns', 'value')) >= 1);
    } finally {
      await panel.ctl('fault', '1-3', 'forceOverflow', 'off');
    }
    const frames = Number(await attr(page, '#stat-frames', 'value'));
    await waitFor('frames after the overrun', async () =>
      Number(await attr(page, '#stat-frames', 'value')) > frames + 50);
    await waitFor('the gap in the plot', async () => page.evaluate(() => page.stream.gaps.length >= 1));
    // The line breaks at the gap: a point without values.
    assert.equal(await page.evaluate(() => page.stream.v[0].some((v) => v === null)), true);
    assert.equal(await text(page, '#stream-error'), '');
    await page.click('#stream-stop');
    await waitFor('the stream to stop', async () => !(await page.$eval('#stream-start', (b) => b.disabled)));
  });

  test('a stalled device shows an error in place and recovers when it answers again', async () => {
    await panel.ctl('fault', '1-3', 'stall', 'on');
    try {
      await waitFor('the lost connection', async () => (await text(page, '#connection')) === 'lost');
      assert.match(await text(page, '#device-error'), /^USB:1-0-3 stopped answering\. \(.*LIBUSB_ERROR_TIMEOUT/);
    } finally {
      await panel.ctl('fault', '1-3', 'stall', 'off');
    }
    await waitFor('the connection back', async () => (await text(page, '#connection')) === 'connected');
    await waitFor('readings again', async () => near(await reading(page, 'AI-0'), AI0, ADC_TOLERANCE));
  });

  test('a clipped reading and a clipped stream channel are marked; range texts are whole', async () => {
    const options = await page.$$eval('select[data-range="AI-0"] option', (o) => o.map((e) => e.textContent));
    assert.deepEqual(options, ['-10 … 10 V', '-1 … 1 V', '-0.1 … 0.1 V', '-0.01 … 0.01 V']);
    // 1.25 V on the 10 mV range: the converter sits at its end.
    await page.select('select[data-range="AI-0"]', '3');
    await waitFor('AI-0 marked clipped', async () => (await attr(page, '[data-reading="AI-0"]', 'clipped')) === '1');
    assert.match(await text(page, '[data-reading="AI-0"]'), /^≥ 0\.01\d* V$/);
    assert.match(await text(page, '[data-mark="AI-0"]'), /CLIPPED/);
    assert.equal(await attr(page, '[data-reading="AI-1"]', 'clipped'), '');
    await page.$eval('#stream-rate', (e) => { e.value = '100'; });
    await page.click('#stream-start');  // the earlier recording is thrown away: the page asks, yes
    await waitFor('AI-0 counted as clipped', async () =>
      JSON.parse((await attr(page, '#stat-clipped', 'value')) || '{}')['AI-0'] > 0);
    assert.match(await text(page, '#stat-clipped'), /AI-0: \d+/);
    assert.equal(await page.$eval('[data-channel="AI-0"]', (e) => e.parentElement.classList.contains('clipped')), true);
    await page.screenshot({path: path.join(ARTIFACTS, 'panel-clipped.png'), fullPage: true});
    await page.click('#stream-stop');
    await waitFor('the stream to stop', async () => !(await page.$eval('#stream-start', (b) => b.disabled)));
    await page.select('select[data-range="AI-0"]', '0');
    await waitFor('AI-0 no longer clipped', async () => (await attr(page, '[data-reading="AI-0"]', 'clipped')) === '');
  });

  test('a slow log plots readings', async () => {
    await page.$eval('#log-every', (e) => { e.value = '0.2'; });
    await page.click('#log-start');
    await waitFor('three logged readings', async () => Number(await attr(page, '#plot', 'points')) >= 3);
    assert.match(await text(page, '#stat-device-rate'), /every 0\.2 s/);
    // The live view goes on during a log.
    await waitFor('AI-1 read live', async () => near(await reading(page, 'AI-1'), AI1, ADC_TOLERANCE));
    await page.click('#stream-stop');
    await waitFor('the log to stop', async () => !(await page.$eval('#log-start', (b) => b.disabled)));
  });

  test('switching devices asks before an unsaved recording is thrown away, and keeps the device when told no', async () => {
    const messages = [];
    answerDialog = (d) => { messages.push(d.message()); d.dismiss(); };
    try {
      await page.$eval('#device-table tr[data-device="USB:1-0-2-4"] button', (b) => b.click());
      await waitFor('the refusal', async () => /recording is kept/.test(await text(page, '#list-error')));
    } finally {
      answerDialog = (d) => d.accept();
    }
    assert.match(messages[0], /not saved/);
    assert.equal(await text(page, '#connection'), 'connected');
    assert.match(await text(page, '#device-title'), /^USB:1-0-3/);
    // An unknown device: the page keeps its device too.
    await page.evaluate(() => openDevice('USB:9-0-9'));
    await waitFor('the error', async () => /USB:9-0-9/.test(await text(page, '#list-error')));
    assert.match(await text(page, '#device-title'), /^USB:1-0-3/);
    // Yes: the Rix opens, with its erased calibration named.
    await page.$eval('#device-table tr[data-device="USB:1-0-2-4"] button', (b) => b.click());
    await waitFor('the Rix open', async () => /^USB:1-0-2-4/.test(await text(page, '#device-title')));
    await waitFor('the uncalibrated inputs named', async () => /Not calibrated.*VBUSREF/.test(await text(page, '#uncalibrated')));
    await waitFor('VBUSREF marked', async () => (await text(page, '[data-mark="VBUSREF"]')) === 'uncalibrated');
    await page.screenshot({path: path.join(ARTIFACTS, 'panel-uncalibrated.png'), fullPage: true});
    await waitFor('the Ka free again', async () =>
      (await panel.get('/api/devices')).json.find((d) => d.device === KA)?.state === 'free');
  });
});
