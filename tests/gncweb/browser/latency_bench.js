// Realtime latency of the web console: from a value's arrival at gncweb
// (the stream's "t", gncweb's wall clock in ms) to the value in hand in the
// browser (Date.now() in the page's EventSource handler, Open MCT showing
// wheel1's speed plot), beside the same stream read at the same time by a
// plain node HTTP client (the baseline: what the browser adds is the
// difference). Both clocks are this host's; "t" has 1 ms resolution.
//
//   node latency_bench.js [--seconds S] [--rate HZ] [--build DIR] [--web-root DIR] [--chromium PATH]
// Needs the bench programs built (scripts/benchmarks.sh builds them).
'use strict';

const http = require('node:http');
const b = require('./bench.js');

// Reads the stream like a browser would, without one: SSE lines, the
// arrival lag of each "data:" record.
function baselineClient(base) {
  const lags = [];
  let buffer = '';
  const req = http.get(base + 'api/stream', (res) => {
    res.setEncoding('utf8');
    res.on('data', (chunk) => {
      const now = Date.now();
      buffer += chunk;
      let nl;
      while ((nl = buffer.indexOf('\n')) >= 0) {
        const line = buffer.slice(0, nl);
        buffer = buffer.slice(nl + 1);
        if (!line.startsWith('data:')) continue;
        try {
          const t = JSON.parse(line.slice(5)).t;
          lags.push({ t, lag: now - t });
        } catch (e) {
          // a record cut by a restart of the stream: not a measurement
        }
      }
    });
  });
  req.on('error', () => {});
  return { lags, close: () => req.destroy() };
}

function summary(label, lags) {
  const s = lags.map((l) => l.lag).sort((a, c) => a - c);
  const f = (v) => String(v).padStart(4);
  return `  ${label.padEnd(58)} n ${String(s.length).padStart(5)}   p50 ${f(b.percentile(s, 50))}   p99 ${f(
    b.percentile(s, 99)
  )}   max ${f(s[s.length - 1])}`;
}

async function main() {
  const o = b.options(process.argv);
  const seconds = Number(o.seconds || 20);
  const browser = await b.launchBrowser(o);
  if (!browser) return b.SKIP;
  let bench;
  try {
    bench = await b.startBench(o, { poll: o.rate || '10' });
    const page = await browser.newPage();
    await page.goto(bench.base + '#/browse/gnc.bench:root/gnc.bench:wheel1/gnc.bench:wheel1.speed');
    await page.waitForFunction(() => window.gncweb && window.gncweb.ready && window.gncweb.feed.state === 'open', {
      timeout: 30000
    });
    const baseline = baselineClient(bench.base);
    await b.waitFor('the baseline client\'s first record', () => baseline.lags.length > 0, 15000);
    // Both readers connected: count what arrives at gncweb from now on.
    const from = Date.now() + 500;
    await page.evaluate(() => (window.gncweb.feed.latencies = []));
    await b.sleep(seconds * 1000);
    const inPage = await page.evaluate(() => window.gncweb.feed.latencies);
    baseline.close();
    const after = (l) => l.t >= from && l.t <= from + seconds * 1000 - 1000;
    console.log(
      `Web console realtime latency, value's arrival at gncweb to value in hand (ms), ${seconds} s, ` +
        `gncctl polling wheel1 at ${o.rate || 10} Hz:`
    );
    console.log(summary('browser: EventSource in the page, Open MCT plot open', inPage.filter(after)));
    console.log(summary('baseline: node HTTP client on the same stream, same run', baseline.lags.filter(after)));
    return 0;
  } finally {
    await b.closeBrowser(browser);
    if (bench) await b.stopBench(bench);
    if (bench) require('node:fs').rmSync(bench.dir, { recursive: true, force: true });
  }
}

main().then(
  (code) => process.exit(code),
  (e) => {
    console.error('latency_bench: ' + (e.stack || e));
    process.exit(1);
  }
);
