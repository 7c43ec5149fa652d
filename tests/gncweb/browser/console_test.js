// The web console in headless Chromium against the simulated wheel, its
// service, gncctl polling it and gncweb:
//   1. Open MCT loads with the bench's dictionary and wheel1's speed plot
//      gets new points while we watch;
//   2. "wheel1 speed 1500" from the command panel spins the wheel up;
//   3. invalid arguments show gncweb's error and no frame reaches the line;
//      with the poller stopped, the quiet line's age shows as a warning;
//   4. once the bench has stopped, gncweb --review shows the recorded run
//      in fixed time.
// A screenshot of each step goes to OUT/screens/stepN.png.
//
//   node console_test.js [--build DIR] [--web-root DIR] [--out DIR] [--chromium PATH]
// Exit 0 passed, 1 failed, 77 when Chromium cannot start here.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const b = require('./bench.js');

const SPEED_PLOT = '#/browse/gnc.bench:root/gnc.bench:wheel1/gnc.bench:wheel1.speed';

async function openConsole(browser, base, hash) {
  const page = await browser.newPage();
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(e.message));
  await page.goto(base + hash, { waitUntil: 'load' });
  await page.waitForFunction(() => window.gncweb && window.gncweb.ready, { timeout: 30000 });
  return page;
}

// What the page has of wheel1's speed: values handed to the plot's
// subscription, the latest one, and the points the plot's history request
// got.
const speedSeen = (page) =>
  page.evaluate(() => {
    const g = window.gncweb;
    const latest = g.feed.latest.get('wheel1.speed');
    return {
      delivered: g.feed.delivered.get('wheel1.speed') || 0,
      latest: latest ? latest.value : null,
      history: g.historyServed && g.historyServed['wheel1.speed'],
      legend: (document.querySelector('.plot-series-name') || {}).textContent || ''
    };
  });

async function sendCommand(page, device, command, args) {
  await page.select('#gnc-cmd-device', device);
  await page.select('#gnc-cmd-command', command);
  const inputs = await page.$$('#gnc-cmd-args input');
  assert.ok(inputs.length >= args.length, `${device} ${command} has ${inputs.length} argument inputs`);
  for (let i = 0; i < args.length; i++) {
    await inputs[i].click({ clickCount: 3 });
    await inputs[i].type(args[i]);
  }
  const before = await page.evaluate(() => window.gncweb.commandLog.length);
  await page.click('#gnc-cmd-send');
  await page.waitForFunction((n) => window.gncweb.commandLog.length > n, { timeout: 15000 }, before);
  return page.evaluate(() => ({
    entry: window.gncweb.commandLog[window.gncweb.commandLog.length - 1],
    shown: document.getElementById('gnc-cmd-result').textContent
  }));
}

async function main() {
  const o = b.options(process.argv);
  const screens = path.join(o.out || path.resolve(__dirname, '../../../build/tests/gncweb/browser'), 'screens');
  fs.mkdirSync(screens, { recursive: true });
  const shot = (page, n) => page.screenshot({ path: path.join(screens, `step${n}.png`) });

  const browser = await b.launchBrowser(o);
  if (!browser) return b.SKIP;
  let bench;
  let review;
  try {
    bench = await b.startBench(o);

    // 1. Open MCT with the bench's objects, and the speed plot fed live.
    const page = await openConsole(browser, bench.base, SPEED_PLOT);
    const loaded = await page.evaluate(() => {
      const g = window.gncweb;
      const wheel = g.dictionary.find((d) => d.device === 'wheel1');
      const speed = wheel && wheel.fields.find((f) => f.key === 'wheel1.speed');
      const tree = [...document.querySelectorAll('.c-tree__item__name')].map((e) => e.textContent.trim());
      return { speed, tree, mode: g.openmct.time.getMode(), root: g.objects.get('root').name };
    });
    assert.equal(loaded.speed && loaded.speed.unit, 'rpm', JSON.stringify(loaded.speed));
    assert.equal(loaded.mode, 'realtime');
    assert.ok(loaded.tree.includes('GNC Bench'), 'tree: ' + loaded.tree.join(', '));
    await page.waitForSelector('.gl-plot canvas, .gl-plot-chart-area canvas', { timeout: 20000 });
    const first = await speedSeen(page);
    const later = await b.waitFor(
      'new speed points in the plot',
      async () => {
        const s = await speedSeen(page);
        return s.delivered >= first.delivered + 4 && s;
      },
      20000
    );
    assert.ok(later.latest !== null && Math.abs(later.latest) < 100, 'the wheel starts at rest: ' + later.latest);
    await shot(page, 1);

    // 2. The wheel commanded from the panel; its plotted speed rises.
    const spin = await sendCommand(page, 'wheel1', 'speed', ['1500']);
    assert.equal(spin.entry.status, 200, JSON.stringify(spin.entry));
    assert.match(spin.shown, /^Sent wheel1 speed 1500 to Flywheel_Hardware_Service: [0-9A-F ]+$/);
    await b.waitFor('speed above 1400 in the page', async () => (await speedSeen(page)).latest > 1400, 30000);
    assert.match(bench.sim.out, /\[SIM\] wheel0 command speed target=1500 /);
    // The recorded history, asked by the page as its plot does, rises too
    // (the database lags the stream by its write queue).
    await b.waitFor(
      'a rise from rest past 1400 rpm in the history',
      () =>
        page.evaluate(async () => {
          const now = Date.now();
          const r = await fetch(`api/history?key=wheel1.speed&start=${now - 60000}&end=${now + 5000}`);
          const values = (await r.json()).map((p) => p.value);
          return Math.min(...values) < 100 && Math.max(...values) > 1400;
        }),
      10000
    );
    await b.sleep(1500);
    await shot(page, 2);

    // 3. Invalid arguments: gncweb's error on the page, no frame on the line.
    const invalid = [
      { args: ['fast'], error: /Not sent \(400\): .*speed.*fast/ },
      { args: ['3e6'], error: /Not sent \(400\): .*speed.*out of range/ }
    ];
    const simBefore = bench.sim.out.length;
    for (const c of invalid) {
      const r = await sendCommand(page, 'wheel1', 'speed', c.args);
      assert.equal(r.entry.status, 400, JSON.stringify(r.entry));
      assert.match(r.shown, c.error);
    }
    await b.sleep(1000);
    const sinceInvalid = bench.sim.out.slice(simBefore);
    assert.doesNotMatch(sinceInvalid, /\[SIM\] wheel0 command/, sinceInvalid);
    assert.equal(await page.$eval('#gnc-cmd-result', (e) => e.className), 'gnc-result gnc-error');
    await shot(page, 3);

    // Line health: the poller stopped, the line goes quiet and its age
    // turns to a warning in the device's live values.
    await bench.watch.stop();
    await page.evaluate(() => (window.location.hash = '#/browse/gnc.bench:root/gnc.bench:wheel1'));
    const quiet = await page.waitForFunction(
      () => {
        const rows = [...document.querySelectorAll('table.gnc-values tbody tr')];
        const age = rows.find((r) => r.cells[0].textContent === 'age_s');
        return age && age.classList.contains('is-limit--yellow') && Number(age.cells[1].textContent);
      },
      { timeout: 20000 }
    );
    assert.ok((await quiet.jsonValue()) > 3);
    await shot(page, '3-health');
    assert.deepEqual(page.errors, []);
    await page.close();

    // 4. The bench stops; the recorded run, reviewed.
    const stopped = await b.stopBench(bench);
    assert.deepEqual(stopped.web, { code: 0, signal: null }, bench.web.err);
    review = await b.startWeb(o, ['--db', bench.db, '--review']);
    const rpage = await openConsole(browser, review.base, SPEED_PLOT);
    const status = await rpage.evaluate(() => window.gncweb.status);
    assert.equal(status.mode, 'review');
    const bounds = await rpage.evaluate(() => ({
      mode: window.gncweb.openmct.time.getMode(),
      ...window.gncweb.openmct.time.getBounds()
    }));
    assert.deepEqual(bounds, { mode: 'fixed', start: status.first_ms, end: status.last_ms });
    const reviewed = await b.waitFor(
      'the plot\'s history in review',
      async () => {
        const s = await speedSeen(rpage);
        return s.history && s.history.points > 0 && s;
      },
      20000
    );
    assert.ok(reviewed.history.last.value > 1400, JSON.stringify(reviewed.history));
    assert.equal(reviewed.delivered, 0, 'nothing live in review');
    assert.ok(await rpage.$eval('#gnc-cmd-send', (e) => e.disabled), 'commands are off in review');
    await b.sleep(1000);
    await shot(rpage, 4);
    assert.deepEqual(rpage.errors, []);
    console.log('[PASS] web console: dictionary, live plot, command, refused arguments, review; screens in ' + screens);
    return 0;
  } finally {
    await b.closeBrowser(browser);
    if (review) await review.stop();
    if (bench) await b.stopBench(bench);
    if (bench) fs.rmSync(bench.dir, { recursive: true, force: true });
  }
}

main().then(
  (code) => process.exit(code),
  (e) => {
    console.error('[FAIL] ' + (e.stack || e));
    process.exit(1);
  }
);
