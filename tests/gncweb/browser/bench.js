// What the browser test and the latency benchmark share: the simulated
// wheel, its service, gncctl polling it and gncweb as child processes, and
// headless Chromium driven through puppeteer-core (Open MCT's package
// folder holds it). Every child is stopped by pid when the script ends,
// however it ends.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const SKIP = 77; // CTest SKIP_RETURN_CODE: Chromium cannot start here

function options(argv) {
  const o = {};
  for (let i = 2; i < argv.length; i += 2) {
    if (!argv[i].startsWith('--') || i + 1 >= argv.length) throw new Error('bad argument ' + argv[i]);
    o[argv[i].slice(2)] = argv[i + 1];
  }
  const build = o.build || path.resolve(__dirname, '../../../build');
  o.devsim = o.devsim || path.join(build, 'sim/devsim');
  o.skardel = o.skardel || path.join(build, 'services/flywheel/Skardel');
  o.gncctl = o.gncctl || path.join(build, 'gncctl/gncctl');
  o.gncweb = o.gncweb || path.join(build, 'gncweb/gncweb');
  o['web-root'] = o['web-root'] || path.resolve(__dirname, '../../../gncweb/web');
  o.chromium = o.chromium || '/usr/bin/chromium';
  return o;
}

const children = new Set();

class Child {
  constructor(name, program, args) {
    this.name = name;
    this.out = '';
    this.err = '';
    this.exited = null;
    this.proc = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    this.proc.stdout.on('data', (d) => (this.out += d));
    this.proc.stderr.on('data', (d) => (this.err += d));
    this.done = new Promise((resolve) =>
      this.proc.on('exit', (code, signal) => {
        this.exited = { code, signal };
        children.delete(this);
        resolve(this.exited);
      })
    );
    this.proc.on('error', (e) => (this.err += String(e)));
    children.add(this);
  }

  async waitOutput(re, ms) {
    const until = Date.now() + ms;
    while (Date.now() < until) {
      const m = this.out.match(re);
      if (m) return m;
      if (this.exited) break;
      await sleep(50);
    }
    throw new Error(`${this.name}: no ${re} within ${ms} ms\n${this.out.slice(-2000)}${this.err.slice(-2000)}`);
  }

  // SIGTERM, then SIGKILL if it lingers; the exit status.
  async stop(ms = 10000) {
    if (this.exited) return this.exited;
    this.proc.kill('SIGTERM');
    const timer = setTimeout(() => this.exited || this.proc.kill('SIGKILL'), ms);
    const r = await this.done;
    clearTimeout(timer);
    return r;
  }
}

function killAll() {
  for (const c of children) c.proc.kill('SIGKILL');
}
process.on('exit', killAll);
for (const s of ['SIGINT', 'SIGTERM'])
  process.on(s, () => {
    killAll();
    process.exit(1);
  });

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function waitFor(what, fn, ms) {
  const until = Date.now() + ms;
  for (;;) {
    const v = await fn();
    if (v) return v;
    if (Date.now() > until) throw new Error('timed out waiting for ' + what);
    await sleep(100);
  }
}

// devsim with one wheel (the wheel service's first wheel, "wheel1" on the
// bus), the wheel service, gncctl polling it, and gncweb recording to a
// fresh database on a free port.
async function startBench(o, { poll = '2' } = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'gncweb_browser_'));
  const run = path.join(dir, 'run');
  const bench = { dir, db: path.join(dir, 'telemetry.sqlite') };
  bench.sim = new Child('devsim', o.devsim, ['--run-dir', run, '--pace', '--line', 'wheel0=wheel:0x11']);
  await waitFor('devsim.ready', () => fs.existsSync(path.join(run, 'devsim.ready')), 10000);
  const config = path.join(dir, 'Skardel.json');
  fs.writeFileSync(config, JSON.stringify({ flywheels: [{ id: 0, device: path.join(run, 'wheel0') }] }));
  bench.skardel = new Child('Skardel', o.skardel, [config]);
  bench.web = await startWeb(o, ['--db', bench.db]);
  bench.base = bench.web.base;
  bench.watch = new Child('gncctl', o.gncctl, ['watch', 'wheel1', '--rate', poll]);
  return bench;
}

async function startWeb(o, args) {
  const web = new Child('gncweb', o.gncweb, [...args, '--listen', '127.0.0.1:0', '--web-root', o['web-root']]);
  const m = await web.waitOutput(/serving (http:\/\/127\.0\.0\.1:[0-9]+\/)/, 20000);
  web.base = m[1];
  return web;
}

async function stopBench(bench) {
  const order = ['watch', 'web', 'skardel', 'sim'];
  const status = {};
  for (const name of order) if (bench[name]) status[name] = await bench[name].stop();
  return status;
}

// Headless Chromium with a fresh profile, or null when it cannot start
// here (the caller skips).
async function launchBrowser(o) {
  const puppeteer = require(path.join(o['web-root'], 'node_modules', 'puppeteer-core'));
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'gncweb_chromium_'));
  try {
    const browser = await puppeteer.launch({
      executablePath: o.chromium,
      headless: true,
      userDataDir: profile,
      args: [
        '--no-sandbox',
        '--disable-gpu',
        '--disable-quic',
        '--no-first-run',
        '--disable-background-networking',
        '--disable-component-update',
        '--disable-sync',
        '--window-size=1600,900'
      ],
      defaultViewport: { width: 1600, height: 900 }
    });
    browser.profile = profile;
    return browser;
  } catch (e) {
    console.log('[SKIP] Chromium cannot start (' + o.chromium + '): ' + e.message.split('\n')[0]);
    fs.rmSync(profile, { recursive: true, force: true });
    return null;
  }
}

async function closeBrowser(browser) {
  if (!browser) return;
  await browser.close().catch(() => {});
  fs.rmSync(browser.profile, { recursive: true, force: true });
}

function percentile(sorted, p) {
  if (!sorted.length) return NaN;
  return sorted[Math.min(sorted.length - 1, Math.floor((p / 100) * sorted.length))];
}

module.exports = {
  SKIP,
  options,
  Child,
  sleep,
  waitFor,
  startBench,
  startWeb,
  stopBench,
  launchBrowser,
  closeBrowser,
  percentile
};
