// velto monitor's page: loads /api/state once, then keeps it going from the
// ticks and events of /events. Everything that comes from the caster or the
// command line (mount points, descriptors) is set as text (textContent),
// never as markup.
'use strict';

const CONSTELLATION_COLOURS = {
  GPS: '#1f77b4', GLONASS: '#d62728', Galileo: '#2ca02c',
  SBAS: '#7f7f7f', QZSS: '#9467bd', BeiDou: '#ff7f0e',
};
const MAX_LOGGED_EVENTS = 40;
const MAX_LISTED_CHANGES = 12;

const page = {
  windowSeconds: 600,
  now: 0,
  views: new Map(), // mount point name -> view
  source: null,
  polling: null,
  ticks: 0,
};

// --- text -------------------------------------------------------------------

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
}

function clock(posixSeconds) {
  return new Date(posixSeconds * 1000).toISOString().slice(11, 19);
}

function duration(seconds) {
  if (seconds === null || seconds === undefined || !isFinite(seconds)) return '-';
  seconds = Math.max(0, Math.round(seconds));
  if (seconds < 60) return seconds + ' s';
  const minutes = Math.floor(seconds / 60);
  if (minutes < 60) return minutes + ' min ' + (seconds % 60) + ' s';
  return Math.floor(minutes / 60) + ' h ' + (minutes % 60) + ' min';
}

function bitrate(bitsPerSecond) {
  if (bitsPerSecond === null || bitsPerSecond === undefined) return '-';
  if (bitsPerSecond < 10000) return bitsPerSecond.toFixed(0) + ' bit/s';
  return (bitsPerSecond / 1000).toFixed(1) + ' kbit/s';
}

function milliseconds(value) {
  return value === null || value === undefined ? '-' : value.toFixed(1) + ' ms';
}

function orDash(value) {
  return value === null || value === undefined || value === '' ? '-' : String(value);
}

function statusClass(name) {
  if (name === 'streaming') return 'streaming';
  if (name === 'idle') return 'idle';
  return 'failed';
}

// How far an epoch lies from the clock, in words: "2.8 days", "15 min".
function span(seconds) {
  seconds = Math.abs(seconds);
  if (seconds < 120) return seconds.toFixed(0) + ' s';
  if (seconds < 7200) return (seconds / 60).toFixed(0) + ' min';
  if (seconds < 172800) return (seconds / 3600).toFixed(1) + ' h';
  return (seconds / 86400).toFixed(1) + ' days';
}

// An epoch too far from the clock to be a latency (a replayed recording, a
// receiver with a wrong clock): named as such, never shown as one.
function farEpoch(latencyMs) {
  return 'epoch ' + span(latencyMs / 1000) + (latencyMs >= 0 ? ' behind' : ' ahead of') + ' the clock';
}

// The latest latency, or what the epochs are instead; '-' before any.
function latencyFigure(latency, long) {
  if (!latency) return '-';
  if (latency.far_from_clock && latency.last_flagged_ms !== null) {
    return farEpoch(latency.last_flagged_ms) + (long ? ': replayed data or a wrong receiver clock' : '');
  }
  return milliseconds(latency.last_ms);
}

function nextAttemptText(live) {
  if (!live || live.next_attempt_in_s === null) return '';
  const seconds = Math.round(live.next_attempt_in_s);
  if (live.next_attempt_estimated) {
    return seconds <= 0 ? 'next attempt under way (estimate)'
                        : 'next attempt in ~' + seconds + ' s (estimate)';
  }
  return 'next attempt in ' + seconds + ' s';
}

// --- charts -----------------------------------------------------------------

function timeAxis() {
  return {
    type: 'linear',
    ticks: { maxTicksLimit: 6, maxRotation: 0, callback: (value) => clock(value) },
  };
}

function lineChart(canvas, datasets, legend, stacked) {
  return new Chart(canvas, {
    type: 'line',
    data: { datasets },
    options: {
      animation: false,
      maintainAspectRatio: false,
      parsing: false,
      normalized: true,
      spanGaps: false,
      elements: { point: { radius: 0 }, line: { borderWidth: 1.5 } },
      plugins: { legend: { display: legend, labels: { boxWidth: 12 } } },
      scales: { x: timeAxis(), y: { beginAtZero: true, grace: '10%', stacked: Boolean(stacked) } },
    },
  });
}

function series(label, colour) {
  return { label, data: [], borderColor: colour, backgroundColor: colour };
}

// Legend entries only for series that have something to show.
function withData(item, data) {
  return data.datasets[item.datasetIndex].data.length > 0;
}

function timelineChart(canvas) {
  const bars = (label, colour) => ({ label, data: [], backgroundColor: colour, grouped: false,
                                     barPercentage: 0.8, categoryPercentage: 1 });
  return new Chart(canvas, {
    type: 'bar',
    data: {
      labels: ['status', 'outage'],
      // 'stopped' is relabelled with the reason (timelineBars).
      datasets: [bars('streaming', '#2e7d32'), bars('not streaming', '#c62828'),
                 bars('idle', '#9e9e9e'), bars('outage', 'rgba(90, 90, 90, 0.45)'),
                 bars('stopped', '#c62828')],
    },
    options: {
      animation: false,
      maintainAspectRatio: false,
      indexAxis: 'y',
      plugins: { legend: { labels: { boxWidth: 12, filter: withData } }, tooltip: { enabled: false } },
      scales: { x: timeAxis(), y: { stacked: false } },
    },
  });
}

// --- one mount point ----------------------------------------------------------

function createView(name, index) {
  const card = document.getElementById('mount-template').content.firstElementChild.cloneNode(true);
  card.id = 'mount-' + index;
  card.querySelector('.name').textContent = name;
  document.getElementById('mounts').appendChild(card);

  const row = element('tr');
  const link = element('a', '', name);
  link.href = '#mount-' + index;
  const nameCell = element('td');
  nameCell.appendChild(link);
  row.appendChild(nameCell);
  const cells = {};
  for (const key of ['status', 'since', 'bitrate', 'latency', 'station']) {
    cells[key] = element('td');
    row.appendChild(cells[key]);
  }
  document.querySelector('#overview tbody').appendChild(row);

  const view = {
    name, card, cells, visible: true, live: null, statusSince: null, timeline: [], ending: null,
    bitrate: series('bitrate', '#1f77b4'),
    latencyMean: series('mean', '#1f77b4'),
    latencyMax: series('max', '#d62728'),
    satellites: new Map(), // constellation -> dataset
  };
  view.charts = {
    bitrate: lineChart(card.querySelector('canvas.bitrate'), [view.bitrate], false),
    latency: lineChart(card.querySelector('canvas.latency'), [view.latencyMean, view.latencyMax], true),
    // Stacked: constellations with as many satellites would otherwise lie
    // on one line, all but one hidden.
    satellites: lineChart(card.querySelector('canvas.satellites'), [], true, true),
    timeline: timelineChart(card.querySelector('canvas.timeline')),
  };
  page.observer.observe(card);
  page.views.set(name, view);
  return view;
}

function appendPoints(dataset, times, values) {
  for (let i = 0; i < times.length; ++i) dataset.data.push({ x: times[i], y: values[i] });
}

function satelliteSeries(view, constellation) {
  let dataset = view.satellites.get(constellation);
  if (!dataset) {
    const colour = CONSTELLATION_COLOURS[constellation] || '#444444';
    dataset = series(constellation, colour);
    dataset.constellation = constellation;
    dataset.backgroundColor = colour + '66';
    dataset.fill = 'stack';
    view.satellites.set(constellation, dataset);
    view.charts.satellites.data.datasets.push(dataset);
  }
  return dataset;
}

// Adds a mount point's samples; `replace` starts them over (a whole state).
function takeSamples(view, mount, replace) {
  const all = [view.bitrate, view.latencyMean, view.latencyMax, ...view.satellites.values()];
  if (replace) for (const dataset of all) dataset.data = [];
  const samples = mount.samples;
  appendPoints(view.bitrate, samples.time, samples.bitrate_bps);
  for (const [constellation, counts] of Object.entries(samples.satellites)) {
    appendPoints(satelliteSeries(view, constellation), samples.time, counts);
  }
  appendPoints(view.latencyMean, mount.latency.time, mount.latency.mean_ms);
  appendPoints(view.latencyMax, mount.latency.time, mount.latency.max_ms);
}

// Each constellation's latest count in its legend entry: "GLONASS 8".
function labelSatellites(view) {
  for (const dataset of view.satellites.values()) {
    const last = dataset.data.length ? dataset.data[dataset.data.length - 1].y : null;
    dataset.label = dataset.constellation + (last === null || last === undefined ? '' : ' ' + last);
  }
}

function forgetOldSamples(view) {
  const oldest = page.now - page.windowSeconds;
  const all = [view.bitrate, view.latencyMean, view.latencyMax, ...view.satellites.values()];
  for (const dataset of all) {
    let drop = 0;
    while (drop < dataset.data.length && dataset.data[drop].x < oldest) ++drop;
    if (drop > 0) dataset.data.splice(0, drop);
  }
}

// Status segments from the timeline, and outages from the analysis, as
// floating bars [start, end] on the time axis.
// Once velto has stopped the mount point (a refusal, its output), the rest
// of the line is one bar, in the failure colour unless it stopped with the
// run while streaming, and named with the reason.
function timelineBars(view) {
  const [streaming, down, idle, outage, stopped] = view.charts.timeline.data.datasets;
  for (const dataset of [streaming, down, idle, outage, stopped]) dataset.data = [];
  const marks = view.timeline;
  const stoppedAt = view.ending ? view.ending.time : Infinity;
  for (let i = 0; i < marks.length && marks[i].time < stoppedAt; ++i) {
    const end = Math.min(i + 1 < marks.length ? marks[i + 1].time : page.now, stoppedAt);
    const kind = statusClass(marks[i].name);
    const target = kind === 'streaming' ? streaming : kind === 'idle' ? idle : down;
    target.data.push({ x: [marks[i].time, end], y: 'status' });
  }
  if (view.ending) {
    stopped.label = 'stopped: ' + view.ending.text;
    stopped.backgroundColor = view.ending.name === 'streaming' ? '#9e9e9e' : '#c62828';
    stopped.data.push({ x: [view.ending.time, Math.max(page.now, view.ending.time)], y: 'status' });
  }
  const outages = view.live && view.live.rtcm && view.live.rtcm.outages;
  if (outages) {
    for (const gap of outages.recent) outage.data.push({ x: [gap.start, gap.end], y: 'outage' });
    if (outages.open_since !== null) outage.data.push({ x: [outages.open_since, page.now], y: 'outage' });
  }
}

function drawCharts(view) {
  const min = page.now - page.windowSeconds;
  for (const chart of Object.values(view.charts)) {
    chart.options.scales.x.min = min;
    chart.options.scales.x.max = page.now;
    chart.update('none');
  }
}

// Terms and values; `grouped` puts each pair in a div of its own (a row of
// figures), else they follow one another (a two-column grid).
function definitionList(list, pairs, grouped) {
  const items = [];
  for (const [term, value] of pairs) {
    const pair = [element('dt', '', term), element('dd', '', orDash(value))];
    if (grouped) {
      const group = element('div');
      group.append(...pair);
      items.push(group);
    } else {
      items.push(...pair);
    }
  }
  list.replaceChildren(...items);
}

function showFigures(view) {
  const live = view.live;
  const rtcm = live.rtcm || {};
  const framing = rtcm.framing || {};
  const latency = rtcm.latency || {};
  const interval = latency.interval || {};
  const outages = rtcm.outages || {};
  definitionList(view.card.querySelector('.figures'), [
    ['bytes', live.bytes],
    ['bitrate', bitrate(live.bytes_per_s * 8)],
    ['last block', live.last_block_age_s === null ? '-' : live.last_block_age_s.toFixed(1) + ' s ago'],
    ['connections', live.connections],
    ['frames', framing.frames],
    ['CRC rejects', framing.crc_rejects],
    ['latency', latencyFigure(latency, true)],
    ['interval mean / max', milliseconds(interval.mean_ms) + ' / ' + milliseconds(interval.max_ms)],
    ['outages', outages.count === undefined ? '-'
      : outages.count + (outages.open_since !== null ? ' (one now)' : '') + ', ' +
        duration(outages.total_seconds)],
  ], true);
}

function showMessages(view) {
  const messages = (view.live.rtcm && view.live.rtcm.messages) || [];
  const rows = messages.map((message) => {
    const row = element('tr');
    row.appendChild(element('td', '', String(message.type)));
    row.appendChild(element('td', 'number', String(message.count)));
    row.appendChild(element('td', 'number', message.rate_hz.toFixed(2)));
    row.appendChild(element('td', 'number', message.interval_rate_hz.toFixed(2)));
    return row;
  });
  view.card.querySelector('table.messages tbody').replaceChildren(...rows);
}

function showStation(view) {
  const station = (view.live.rtcm && view.live.rtcm.station) || {};
  const position = station.position || {};
  const antenna = station.antenna || {};
  const receiver = station.receiver || {};
  definitionList(view.card.querySelector('.station'), [
    ['ID', station.id],
    ['latitude', position.latitude_deg === undefined ? null : position.latitude_deg.toFixed(7) + '°'],
    ['longitude', position.longitude_deg === undefined ? null : position.longitude_deg.toFixed(7) + '°'],
    ['height', position.height_m === undefined ? null : position.height_m.toFixed(3) + ' m'],
    ['antenna height', position.antenna_height_m == null ? null : position.antenna_height_m + ' m'],
    ['antenna', antenna.descriptor],
    ['antenna serial', antenna.serial],
    ['receiver', receiver.type],
    ['firmware', receiver.firmware],
    ['receiver serial', receiver.serial],
  ], false);
}

function showChanges(view) {
  const marks = view.timeline.slice(-MAX_LISTED_CHANGES).reverse();
  const items = marks.map((mark, i) => {
    const until = i === 0 ? page.now : marks[i - 1].time;
    return element('li', '', clock(mark.time) + ' ' + mark.text + ' (' + duration(until - mark.time) + ')');
  });
  view.card.querySelector('.changes').replaceChildren(...items);
}

// The library's status; once velto has stopped the mount point, why it
// stopped (the library only says idle then).
function showStatus(view) {
  const live = view.live;
  const ending = view.ending;
  let kind = statusClass(live ? live.name : 'idle');
  let text = live ? live.text : 'not started';
  let since = view.statusSince === null ? null : page.now - view.statusSince;
  if (ending) {
    kind = ending.name === 'streaming' ? 'idle' : 'failed';
    text = 'stopped: ' + ending.text;
    since = page.now - ending.time;
  }
  for (const target of [view.card.querySelector('.status'), view.cells.status]) {
    target.textContent = text;
    target.className = 'status ' + kind;
  }
  view.card.querySelector('.since').textContent = since === null ? '' : 'for ' + duration(since);
  view.card.querySelector('.next').textContent = nextAttemptText(live);
  view.cells.since.textContent = duration(since);
}

function showOverview(view) {
  const live = view.live;
  const samples = view.bitrate.data;
  view.cells.bitrate.textContent = samples.length ? bitrate(samples[samples.length - 1].y) : '-';
  const latency = live && live.rtcm && live.rtcm.latency;
  view.cells.latency.textContent = latencyFigure(latency, false);
  const station = live && live.rtcm && live.rtcm.station;
  view.cells.station.textContent = station ? orDash(station.id) : '-';
}

// A mount point's object from /api/state or a tick.
function takeMount(mount, replace) {
  const view = page.views.get(mount.mount) || createView(mount.mount, page.views.size);
  view.live = mount.live;
  view.statusSince = mount.status_since;
  view.timeline = mount.timeline;
  view.ending = mount.ending || null;
  takeSamples(view, mount, replace);
  forgetOldSamples(view);
  labelSatellites(view);
  showStatus(view);
  showOverview(view);
  if (!view.live) return;
  if (view.visible) show(view);
}

function show(view) {
  showFigures(view);
  showMessages(view);
  showStation(view);
  showChanges(view);
  timelineBars(view);
  drawCharts(view);
}

// --- the page as a whole -------------------------------------------------------

function takeState(state) {
  page.windowSeconds = state.window_s;
  page.now = state.unix_time;
  document.getElementById('caster').textContent =
    'caster ' + state.caster + ', ' + state.mounts.length + ' mount point(s)';
  for (const mount of state.mounts) takeMount(mount, true);
  document.getElementById('events').replaceChildren();
  for (const event of state.events) takeEvent(event);
  document.body.dataset.ready = '1';
}

// The state the page was served with, if velto put one in.
function servedState() {
  const block = document.getElementById('state');
  if (!block || block.textContent.trim() === '') return null;
  try {
    return JSON.parse(block.textContent);
  } catch (error) {
    return null;
  }
}

function takeTick(tick) {
  page.now = tick.unix_time;
  for (const mount of tick.mounts) takeMount(mount, false);
  page.ticks += 1;
  document.body.dataset.ticks = String(page.ticks);
  setConnection('live, updated ' + clock(page.now) + ' UTC', false);
}

function eventText(event) {
  const parts = [event.time.slice(11, 23), event.mount === undefined ? '' : event.mount, event.event];
  if (event.event === 'status') parts.push(event.text);
  if (event.event === 'station') parts.push(event.identified.join(', '));
  if (event.event === 'station_changed') {
    parts.push(event.part + (event.changes > 1 ? ' (' + event.changes + ' changes)' : ''));
  }
  if (event.event === 'latency_flagged') parts.push(event.constellation + ' ' + farEpoch(event.latency_ms));
  if (event.event === 'offered') parts.push(event.mount_points.join(', '));
  if (event.event === 'output_failed') parts.push(event.error);
  if (event.event === 'exit') parts.push(event.reason);
  return parts.filter((part) => part !== '').join(' ');
}

function takeEvent(event) {
  if (event.event === 'stats') return; // the ticks show more, every second
  const list = document.getElementById('events');
  list.insertBefore(element('li', '', eventText(event)), list.firstChild);
  while (list.childElementCount > MAX_LOGGED_EVENTS) list.lastElementChild.remove();
  if (event.event === 'exit') setConnection('velto stopped: ' + event.reason, true);
}

function setConnection(text, lost) {
  const line = document.getElementById('connection');
  line.textContent = text;
  line.className = lost ? 'connection lost' : 'connection';
}

async function loadState() {
  try {
    const response = await fetch('/api/state', { cache: 'no-store' });
    if (!response.ok) throw new Error('HTTP ' + response.status);
    takeState(await response.json());
  } catch (error) {
    setConnection('cannot reach velto (' + error.message + ')', true);
  }
}

// Without an event stream (velto has as many open as it allows), the page
// asks for the whole state every second instead, and tries again later.
function startPolling() {
  if (page.polling === null) page.polling = setInterval(loadState, 1000);
}

function stopPolling() {
  if (page.polling !== null) clearInterval(page.polling);
  page.polling = null;
}

function connect() {
  const source = new EventSource('/events?ticks=1');
  page.source = source;
  let broken = false;
  source.addEventListener('tick', (message) => takeTick(JSON.parse(message.data)));
  source.addEventListener('dropped', () => loadState()); // fell behind: start over
  source.onmessage = (message) => takeEvent(JSON.parse(message.data));
  source.onopen = () => {
    stopPolling();
    if (broken) loadState();
    broken = false;
  };
  source.onerror = () => {
    broken = true;
    if (source.readyState === EventSource.CLOSED) {
      setConnection('no event stream; reading the state every second', true);
      startPolling();
      setTimeout(connect, 30000);
    } else {
      setConnection('connection to velto lost; trying again', true);
    }
  };
}

async function start() {
  Chart.defaults.font.size = 11;
  page.observer = new IntersectionObserver((entries) => {
    for (const entry of entries) {
      const view = [...page.views.values()].find((candidate) => candidate.card === entry.target);
      if (!view) continue;
      view.visible = entry.isIntersecting;
      if (view.visible && view.live) show(view);
    }
  });
  const served = servedState();
  if (served) {
    takeState(served);
    setConnection('as of ' + clock(page.now) + ' UTC; connecting', false);
  } else {
    await loadState();
  }
  connect();
}

start();
