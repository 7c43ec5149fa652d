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

function percentiles(lags) {
  const s = lags.map((l) => l.lag).sort((a, c) => a - c);
  return { n: s.length, p50: b.percentile(s, 50), p99: b.percentile(s, 99), max: s[s.length - 1] };
}

// One row for scripts/benchmarks.sh's table (tab-separated, on standard
// output); the details on standard error.
function row(item, figure, baseline, comparison) {
  console.log(['ROW', 'web console (gncweb)', item, figure, baseline, comparison].join('\t'));
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
    const page_ = percentiles(inPage.filter(after));
    const plain = percentiles(baseline.lags.filter(after));
    console.error(
      `[bench] realtime: ${seconds} s, gncctl polling wheel1 at ${o.rate || 10} Hz; browser n ${page_.n} ` +
        `max ${page_.max} ms, plain client n ${plain.n} max ${plain.max} ms`
    );
    row(
      "realtime, value's arrival at gncweb to the value in the browser (Open MCT plot open), p50 / p99",
      `${page_.p50} / ${page_.p99} ms`,
      `plain HTTP client on the same stream: ${plain.p50} / ${plain.p99} ms`,
      `p99 ${page_.p99 - plain.p99 >= 0 ? '+' : ''}${page_.p99 - plain.p99} ms (goal p99 <= 100 ms)`
    );
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
