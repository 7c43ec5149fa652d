// The bench in Open MCT: a root folder "GNC Bench" with one folder per
// device and a telemetry point per field, history from gncweb's
// /api/history, live values from its /api/stream (one EventSource for the
// page, shared by every view), line-health limits, and a live values view
// for each device folder.
//
//   openmct.install(GncBench.plugin({dictionary, status}));
//
// The page's state for tools that drive it (the browser tests, the latency
// benchmark) is on window.gncweb.
(function () {
  'use strict';

  const NS = 'gnc.bench';
  const ROOT_KEY = 'root';
  const COUNT_FIELDS = new Set(['header_errors', 'check_errors', 'length_errors', 'resets']);

  const page = (window.gncweb = window.gncweb || {});

  // -------------------------------------------------------------------------
  // Live values: one stream for all keys.

  class Feed {
    constructor(url) {
      this.url = url;
      this.listeners = new Map(); // key -> Set of callbacks
      this.latest = new Map(); // key -> datum
      this.delivered = new Map(); // key -> values handed to subscribers
      this.received = 0;
      this.state = 'connecting';
      this.stateListeners = new Set();
      this.latencies = null; // [{t, lag ms}] while a benchmark asks for them
      this.source = null;
    }

    start() {
      if (this.source) return;
      this.source = new EventSource(this.url);
      this.source.onopen = () => this.setState('open');
      this.source.onerror = () =>
        this.setState(this.source.readyState === EventSource.CLOSED ? 'closed' : 'connecting');
      this.source.onmessage = (event) => {
        const now = Date.now();
        let r;
        try {
          r = JSON.parse(event.data);
        } catch (e) {
          return;
        }
        if (typeof r.key !== 'string' || typeof r.t !== 'number') return;
        if (this.latencies) this.latencies.push({ t: r.t, lag: now - r.t });
        this.received += 1;
        const datum = { id: r.key, utc: r.t, value: r.value === null ? NaN : r.value };
        this.latest.set(r.key, datum);
        history.note(r.key, datum);
        const set = this.listeners.get(r.key);
        if (!set) return;
        this.delivered.set(r.key, (this.delivered.get(r.key) || 0) + 1);
        for (const cb of set) cb(datum);
      };
    }

    setState(state) {
      if (state === this.state) return;
      this.state = state;
      for (const cb of this.stateListeners) cb(state);
    }

    subscribe(key, cb) {
      if (!this.listeners.has(key)) this.listeners.set(key, new Set());
      this.listeners.get(key).add(cb);
      return () => {
        const set = this.listeners.get(key);
        if (!set) return;
        set.delete(cb);
        if (set.size === 0) this.listeners.delete(key);
      };
    }
  }

  // Recent values of the counters, in time order, so that "rising" compares
  // a value with the one before it in time whichever view asks, and however
  // often.
  const history = {
    byKey: new Map(),
    note(key, datum) {
      if (!COUNT_FIELDS.has(fieldName(key))) return;
      let list = this.byKey.get(key);
      if (!list) this.byKey.set(key, (list = []));
      let i = list.length;
      while (i > 0 && list[i - 1].utc > datum.utc) i -= 1;
      if (i > 0 && list[i - 1].utc === datum.utc) return;
      list.splice(i, 0, { utc: datum.utc, value: datum.value });
      if (list.length > 4000) list.splice(0, list.length - 4000);
    },
    before(key, utc) {
      const list = this.byKey.get(key);
      if (!list) return undefined;
      let lo = 0;
      let hi = list.length;
      while (lo < hi) {
        const mid = (lo + hi) >> 1;
        if (list[mid].utc < utc) lo = mid + 1;
        else hi = mid;
      }
      return lo > 0 ? list[lo - 1] : undefined;
    }
  };

  function fieldName(key) {
    return key.slice(key.indexOf('.') + 1);
  }

  // -------------------------------------------------------------------------
  // Limits: the dictionary's thresholds, and a counter that rose since the
  // value before it.

  const LIMIT_CLASSES = {
    warning_above: { cssClass: 'is-limit--upr is-limit--yellow', name: 'Warning High', color: 'yellow', level: 'WARNING', side: 'high' },
    warning_below: { cssClass: 'is-limit--lwr is-limit--yellow', name: 'Warning Low', color: 'yellow', level: 'WARNING', side: 'low' },
    critical_above: { cssClass: 'is-limit--upr is-limit--red', name: 'Critical High', color: 'red', level: 'CRITICAL', side: 'high' },
    critical_below: { cssClass: 'is-limit--lwr is-limit--red', name: 'Critical Low', color: 'red', level: 'CRITICAL', side: 'low' }
  };

  function evaluateLimits(field, datum) {
    const v = datum.value;
    if (typeof v !== 'number' || Number.isNaN(v)) return undefined;
    const limits = field.limits || {};
    for (const name of ['critical_above', 'critical_below', 'warning_above', 'warning_below']) {
      const threshold = limits[name];
      if (typeof threshold !== 'number') continue;
      const above = name.endsWith('_above');
      if (above ? v > threshold : v < threshold) {
        const c = LIMIT_CLASSES[name];
        return {
          cssClass: c.cssClass,
          name: c.name,
          low: above ? threshold : Number.NEGATIVE_INFINITY,
          high: above ? Number.POSITIVE_INFINITY : threshold
        };
      }
    }
    if (COUNT_FIELDS.has(field.name)) {
      const previous = history.before(field.key, datum.utc);
      if (previous && v > previous.value) {
        return {
          cssClass: 'is-limit--upr is-limit--yellow',
          name: 'Rising (' + previous.value + ' before)',
          low: previous.value,
          high: Number.POSITIVE_INFINITY
        };
      }
    }
    return undefined;
  }

  // -------------------------------------------------------------------------
  // The objects.

  function id(key) {
    return { namespace: NS, key };
  }

  function keyString(key) {
    return NS + ':' + key;
  }

  function valueMetadata(field) {
    const v = {
      key: 'value',
      source: 'value',
      name: field.name,
      unit: field.unit || undefined,
      format: 'number',
      hints: { range: 1 }
    };
    v.formatString = field.format === 'integer' ? '%d' : '%.6g';
    return v;
  }

  function telemetryObject(device, field) {
    return {
      identifier: id(field.key),
      name: field.name,
      type: 'gnc.telemetry',
      location: keyString(device.device),
      notes: field.description || '',
      gnc: { field, device: device.device },
      telemetry: {
        values: [
          { key: 'utc', source: 'utc', name: 'Time', format: 'utc', hints: { domain: 1 } },
          valueMetadata(field)
        ]
      }
    };
  }

  function buildObjects(dictionary) {
    const objects = new Map();
    const fields = new Map();
    objects.set(ROOT_KEY, {
      identifier: id(ROOT_KEY),
      name: 'GNC Bench',
      type: 'folder',
      location: 'ROOT',
      composition: dictionary.map((d) => id(d.device))
    });
    for (const d of dictionary) {
      objects.set(d.device, {
        identifier: id(d.device),
        name: d.name,
        type: 'folder',
        location: keyString(ROOT_KEY),
        gnc: { device: d.device },
        composition: d.fields.map((f) => id(f.key))
      });
      for (const f of d.fields) {
        objects.set(f.key, telemetryObject(d, f));
        fields.set(f.key, f);
      }
    }
    return { objects, fields };
  }

  // -------------------------------------------------------------------------
  // History.

  async function fetchHistory(key, start, end, signal) {
    const url =
      'api/history?key=' + encodeURIComponent(key) + '&start=' + Math.floor(start) + '&end=' + Math.ceil(end);
    const res = await fetch(url, { signal });
    if (!res.ok) throw new Error('history of ' + key + ': HTTP ' + res.status);
    const points = await res.json();
    const data = points.map((p) => ({ id: key, utc: p.t, value: p.value === null ? NaN : p.value }));
    for (const d of data) history.note(key, d);
    page.historyServed = page.historyServed || {};
    page.historyServed[key] = { start, end, points: data.length, last: data.length ? data[data.length - 1] : null };
    return data;
  }

  // -------------------------------------------------------------------------
  // A device folder's default view: every field's latest value with its
  // unit, its age and its limit state, kept current from the stream.

  function deviceValuesView(openmct, feed, dictionaryByDevice, domainObject) {
    const device = dictionaryByDevice.get(domainObject.gnc.device);
    let unsubscribes = [];
    let timer = null;
    return {
      show(element) {
        const table = document.createElement('table');
        table.className = 'gnc-values';
        table.innerHTML =
          '<thead><tr><th>Field</th><th class="num">Value</th><th>Unit</th><th class="num">Age</th><th>State</th></tr></thead>';
        const body = document.createElement('tbody');
        table.appendChild(body);
        const wrap = document.createElement('div');
        wrap.className = 'gnc-values-wrap';
        wrap.appendChild(table);
        element.appendChild(wrap);

        const rows = new Map();
        const show = (field, datum) => {
          const row = rows.get(field.key);
          row.datum = datum;
          const v = datum.value;
          row.value.textContent =
            typeof v !== 'number' || Number.isNaN(v)
              ? '—'
              : field.format === 'integer'
                ? String(Math.round(v))
                : Number(v.toPrecision(6)).toString();
          const limit = evaluateLimits(field, datum);
          row.tr.className = limit ? 'gnc-limit ' + limit.cssClass : '';
          row.state.textContent = limit ? limit.name : 'ok';
        };
        for (const field of device.fields) {
          const tr = document.createElement('tr');
          tr.title = field.description || '';
          const cells = ['name', 'value', 'unit', 'age', 'state'].map((c) => {
            const td = document.createElement('td');
            if (c === 'value' || c === 'age') td.className = 'num';
            tr.appendChild(td);
            return td;
          });
          const [name, value, unit, age, state] = cells;
          name.textContent = field.name;
          name.className = 'gnc-link';
          name.addEventListener('click', () => {
            window.location.hash =
              '#/browse/' + [ROOT_KEY, device.device, field.key].map(keyString).join('/');
          });
          unit.textContent = field.unit || '';
          value.textContent = '—';
          rows.set(field.key, { tr, value, age, state, datum: null });
          body.appendChild(tr);
          unsubscribes.push(feed.subscribe(field.key, (datum) => show(field, datum)));
          const known = feed.latest.get(field.key);
          if (known) show(field, known);
          else {
            const now = Date.now();
            fetchHistory(field.key, now - 10 * 60 * 1000, now + 1000)
              .then((data) => {
                const last = data[data.length - 1];
                const row = rows.get(field.key);
                if (last && (!row.datum || row.datum.utc < last.utc)) show(field, last);
              })
              .catch(() => {});
          }
        }
        const ages = () => {
          const now = Date.now();
          for (const row of rows.values()) {
            if (!row.datum) continue;
            const s = (now - row.datum.utc) / 1000;
            row.age.textContent = s < 60 ? s.toFixed(1) + ' s' : Math.round(s / 60) + ' min';
          }
        };
        ages();
        timer = setInterval(ages, 500);
      },
      destroy() {
        unsubscribes.forEach((u) => u());
        unsubscribes = [];
        clearInterval(timer);
      }
    };
  }

  // -------------------------------------------------------------------------

  function plugin({ dictionary, status }) {
    return function install(openmct) {
      const { objects, fields } = buildObjects(dictionary);
      const dictionaryByDevice = new Map(dictionary.map((d) => [d.device, d]));
      const feed = new Feed('api/stream');
      page.feed = feed;
      page.dictionary = dictionary;
      page.status = status;
      page.objects = objects;
      page.keyString = keyString;

      openmct.types.addType('gnc.telemetry', {
        name: 'Bench telemetry point',
        description: 'One field of a bench device, as gncweb records it',
        cssClass: 'icon-telemetry',
        creatable: false
      });

      openmct.objects.addRoot(id(ROOT_KEY), openmct.priority.HIGH);
      openmct.objects.addProvider(NS, {
        get(identifier) {
          const o = objects.get(identifier.key);
          return o ? Promise.resolve(structuredClone(o)) : Promise.reject(new Error('no object ' + identifier.key));
        }
      });

      const isOurs = (o) => o && o.type === 'gnc.telemetry' && o.identifier.namespace === NS;

      openmct.telemetry.addProvider({
        supportsRequest: isOurs,
        request(domainObject, options = {}) {
          const bounds = openmct.time.getBounds();
          const start = options.start !== undefined ? options.start : bounds.start;
          const end = options.end !== undefined ? options.end : bounds.end;
          return fetchHistory(domainObject.identifier.key, start, end, options.signal).then((data) => {
            if (options.strategy === 'latest') return data.slice(-(options.size || 1));
            return data;
          });
        },
        supportsSubscribe: isOurs,
        subscribe(domainObject, callback) {
          feed.start();
          return feed.subscribe(domainObject.identifier.key, callback);
        },
        supportsLimits: isOurs,
        getLimitEvaluator(domainObject) {
          const field = fields.get(domainObject.identifier.key);
          return {
            evaluate(datum, valueMeta) {
              if (valueMeta && valueMeta.key !== 'value') return undefined;
              return evaluateLimits(field, datum);
            }
          };
        },
        getLimits(domainObject) {
          const field = fields.get(domainObject.identifier.key);
          return {
            limits() {
              const out = {};
              for (const [name, c] of Object.entries(LIMIT_CLASSES)) {
                const v = field.limits && field.limits[name];
                if (typeof v !== 'number') continue;
                out[c.level] = out[c.level] || {};
                out[c.level][c.side] = { color: c.color, value: v };
              }
              return Promise.resolve(out);
            }
          };
        }
      });

      openmct.objectViews.addProvider({
        key: 'gnc.device-values',
        name: 'Live values',
        cssClass: 'icon-tabular-lad',
        canView: (o) => o.identifier.namespace === NS && dictionaryByDevice.has(o.identifier.key),
        view: (o) => deviceValuesView(openmct, feed, dictionaryByDevice, o),
        priority: () => openmct.priority.HIGH
      });

      // The stream's state and the recorded run, in the status bar.
      const indicator = openmct.indicators.simpleIndicator();
      indicator.iconClass('icon-database');
      const describe = () => {
        if (status.mode === 'review') {
          indicator.text('Review of ' + status.db);
          indicator.description('A recorded run: no bus, commands off');
          indicator.statusClass('s-status-info');
          return;
        }
        const words = { open: 'Bus: live', connecting: 'Bus: connecting…', closed: 'Bus: stream closed' };
        indicator.text(words[feed.state] + ' — recording to ' + status.db);
        indicator.description('Values from gncweb\'s live stream');
        indicator.statusClass(feed.state === 'open' ? 's-status-on' : 's-status-caution');
      };
      describe();
      feed.stateListeners.add(describe);
      openmct.indicators.add(indicator);
      if (status.mode !== 'review') feed.start();
    };
  }

  window.GncBench = { plugin, evaluateLimits };
})();
