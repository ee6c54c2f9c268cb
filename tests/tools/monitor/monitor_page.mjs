// velto monitor's page in a real browser: Debian's chromium, headless,
// driven by puppeteer-core (check_velto_monitor.sh runs it in the test's
// network namespace, against a caster that drops one stream once).
//
//   node monitor_page.mjs URL SCREENSHOT RECEIVER_TEXT REFUSED MOUNT...
//
// The page must show its mount points as soon as it has loaded (what a
// one-shot screenshot captures); every MOUNT streaming with a bitrate,
// message rates and its station; every constellation's satellites visible,
// with their counts; the caster's receiver descriptor, markup in it, as
// plain text; the drop as an outage in the timeline and the stream back
// after the library's 30-s pause; the REFUSED mount point, which the caster
// does not have, in the failure colour with its reason in the overview, its
// card and its timeline; drawn charts; at least a tick a second; no console
// error, no dialog, and no request to anywhere but the monitor.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const [url, screenshot, receiver, refused, ...mounts] = process.argv.slice(2);
const problems = [];
let checks = 0;

function check(what, ok, detail) {
  checks += 1;
  if (ok) {
    console.log('ok: ' + what);
  } else {
    problems.push(what);
    console.error('FAIL: ' + what + (detail === undefined ? '' : ' ' + JSON.stringify(detail)));
  }
}

// What the page shows of one mount point, read from its card as a person
// reads it (text), plus what its charts hold.
function readCard(name) {
  const card = [...document.querySelectorAll('#mounts .mount')]
    .find((section) => section.querySelector('.name').textContent === name);
  if (!card) return null;
  const pairs = (list) => {
    const terms = [...list.querySelectorAll('dt')].map((term) => term.textContent);
    const values = [...list.querySelectorAll('dd')].map((value) => value.textContent);
    return Object.fromEntries(terms.map((term, i) => [term, values[i]]));
  };
  const charts = {};
  for (const canvas of card.querySelectorAll('canvas')) {
    const chart = Chart.getChart(canvas);
    const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let inked = 0;
    for (let i = 3; i < pixels.length; i += 4) inked += pixels[i] > 0;
    charts[canvas.className] = {
      points: chart ? chart.data.datasets.map((dataset) => dataset.data.length) : [],
      bars: chart ? Object.fromEntries(chart.data.datasets.map((d) => [d.label, d.data.map((b) => b.x)])) : {},
      colours: chart ? Object.fromEntries(chart.data.datasets.map((d) => [d.label, d.backgroundColor])) : {},
      // Where each series' latest point is drawn, in pixels from the top.
      tops: chart ? chart.data.datasets.map((d, i) => {
        const drawn = chart.getDatasetMeta(i).data;
        return drawn.length ? Math.round(drawn[drawn.length - 1].y) : null;
      }) : [],
      inked,
    };
  }
  const row = [...document.querySelectorAll('#overview tbody tr')]
    .find((candidate) => candidate.cells[0].textContent === name);
  return {
    name: card.querySelector('h2.name').textContent,
    markup: card.querySelector('h2.name').innerHTML,
    status: card.querySelector('.status').textContent,
    statusClass: card.querySelector('.status').className,
    overview: row ? { status: row.cells[1].textContent, statusClass: row.cells[1].className } : null,
    figures: pairs(card.querySelector('.figures')),
    station: pairs(card.querySelector('.station')),
    messages: [...card.querySelectorAll('table.messages tbody tr')]
      .map((row) => [...row.cells].map((cell) => cell.textContent)),
    changes: [...card.querySelectorAll('.changes li')].map((item) => item.textContent),
    charts,
  };
}

async function cards(page) {
  return Promise.all(mounts.map((name) => page.evaluate(readCard, name)));
}

// Waits until test(cards) holds, up to `seconds`; returns the last cards.
async function waitFor(page, seconds, test) {
  const deadline = Date.now() + seconds * 1000;
  let last = await cards(page);
  while (!(last.every((card) => card !== null) && test(last)) && Date.now() < deadline) {
    await new Promise((resolve) => setTimeout(resolve, 250));
    last = await cards(page);
  }
  return last;
}

const origin = new URL(url).origin;
const profile = mkdtempSync(join(tmpdir(), 'velto-chromium-'));
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
  headless: true,
  userDataDir: profile,
  args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
         '--disable-background-networking', '--disable-component-update', '--disable-sync',
         '--window-size=1400,1000'],
});
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1400, height: 1000 });
  const consoleErrors = [];
  const dialogs = [];
  const elsewhere = [];
  page.on('console', (message) => { if (message.type() === 'error') consoleErrors.push(message.text()); });
  page.on('pageerror', (error) => consoleErrors.push(String(error)));
  page.on('dialog', async (dialog) => { dialogs.push(dialog.message()); await dialog.dismiss(); });
  page.on('request', (request) => {
    const target = request.url();
    if (!target.startsWith(origin + '/') && !target.startsWith('data:')) elsewhere.push(target);
  });

  await page.goto(url, { waitUntil: 'load' });
  // A one-shot screenshot is taken here, with the event stream still open:
  // the page must have its mount points already, not "loading".
  const atLoad = await page.evaluate(() => ({
    ready: document.body.dataset.ready,
    rows: [...document.querySelectorAll('#overview tbody tr')].map((row) => row.cells[1].textContent),
  }));
  check('at load, with no wait, every mount point is on the page',
        atLoad.ready === '1' && atLoad.rows.length === mounts.length + 1 &&
        atLoad.rows.every((status) => status !== ''), atLoad);
  await page.waitForFunction(() => document.body.dataset.ready === '1', { timeout: 15000 });

  // The mount point the caster does not have: velto stopped it, and the
  // page says why, in red, where a streaming one says streaming.
  const stoppedText = 'stopped: mount point not found';
  const isRefused = (card) => card && card.status === stoppedText && card.statusClass.includes('failed') &&
    card.overview && card.overview.status === stoppedText && card.overview.statusClass.includes('failed');
  let missing = await page.evaluate(readCard, refused);
  for (let i = 0; i < 20 && !isRefused(missing); ++i) {
    await new Promise((resolve) => setTimeout(resolve, 250));
    missing = await page.evaluate(readCard, refused);
  }
  check(`${refused}: "${stoppedText}" in red in its card and the overview`, isRefused(missing),
        missing && [missing.status, missing.statusClass, missing.overview]);
  const stoppedBars = missing ? missing.charts.timeline.bars[stoppedText] : undefined;
  check(`${refused}: the timeline ends in a red bar named "${stoppedText}"`,
        stoppedBars && stoppedBars.length === 1 && missing.charts.timeline.colours[stoppedText] === '#c62828',
        missing && missing.charts.timeline.bars);

  const ticksBefore = Number(await page.evaluate(() => document.body.dataset.ticks || 0));
  await new Promise((resolve) => setTimeout(resolve, 5000));
  const ticksAfter = Number(await page.evaluate(() => document.body.dataset.ticks || 0));
  check(`an update a second (${ticksAfter - ticksBefore} in 5 s)`, ticksAfter - ticksBefore >= 4);

  // The caster drops one stream a few seconds in; the library is back 30 s
  // after the report, and the analysis has seen the gap as an outage.
  const backAgain = (card) => {
    const changes = card.changes.map((text) => text.replace(/^\S+ /, '').replace(/ \(.*\)$/, ''));
    const outages = card.charts.timeline.bars.outage || [];
    return changes.slice(0, 3).join(',') === 'streaming,stream lost,streaming' &&
           outages.some(([start, end]) => end - start >= 10);
  };
  let seen = await waitFor(page, 70, (all) => all.some(backAgain) &&
    all.every((card) => card.status === 'streaming'));
  const dropped = seen.filter((card) => card && backAgain(card));
  check('one mount point shows the drop: stream lost, an outage, streaming again', dropped.length === 1,
        seen.map((card) => card && [card.changes, card.charts.timeline.bars]));
  for (const card of dropped) {
    const bars = card.charts.timeline.bars;
    check(`${card.name}: the timeline has both streaming spells and the lost one between`,
          bars.streaming.length === 2 && bars['not streaming'].length === 1 &&
          bars.streaming[0][1] <= bars['not streaming'][0][0] + 0.01 &&
          bars['not streaming'][0][1] <= bars.streaming[1][0] + 0.01, bars);
  }
  check('every mount point shows streaming', seen.every((card) => card && card.status === 'streaming'),
        seen.map((card) => card && card.status));

  seen = await waitFor(page, 10, (all) => all.every((card) =>
    parseFloat(card.figures.bitrate) > 0 && card.messages.some((row) => parseFloat(row[2]) > 0)));
  for (const [i, card] of seen.entries()) {
    if (!card) continue;
    check(`${mounts[i]}: bitrate above zero (${card.figures.bitrate})`, parseFloat(card.figures.bitrate) > 0);
    check(`${mounts[i]}: message types with rates above zero`,
          card.messages.length >= 4 && card.messages.every((row) => parseFloat(row[2]) > 0), card.messages);
    check(`${mounts[i]}: station ID and position shown`,
          /^\d+$/.test(card.station.ID) && card.station.latitude.endsWith('°'), card.station);
    check(`${mounts[i]}: the receiver descriptor as text, markup and all`, card.station.receiver === receiver,
          card.station.receiver);
    // The synthetic station: GPS 10, GLONASS, Galileo and BeiDou 8 each.
    const satellites = card.charts.satellites;
    check(`${mounts[i]}: each constellation's count in the legend`,
          ['GPS 10', 'GLONASS 8', 'Galileo 8', 'BeiDou 8'].every((label) => label in satellites.bars),
          Object.keys(satellites.bars));
    check(`${mounts[i]}: every constellation drawn where it can be seen (stacked)`,
          new Set(satellites.tops).size === satellites.tops.length && !satellites.tops.includes(null),
          satellites.tops);
    check(`${mounts[i]}: the mount point's name as text`, card.markup === mounts[i]
          .replaceAll('&', '&amp;').replaceAll('<', '&lt;').replaceAll('>', '&gt;'), card.markup);
  }
  const markup = await page.evaluate(() => ({
    images: document.querySelectorAll('img').length,
    italics: document.querySelectorAll('main i').length,
  }));
  check('no markup from the caster or the command line became elements', markup.images === 0 &&
        markup.italics === 0, markup);

  await new Promise((resolve) => setTimeout(resolve, 1500)); // a tick with the latest
  seen = await cards(page);
  for (const [i, card] of seen.entries()) {
    for (const [kind, chart] of Object.entries(card.charts)) {
      check(`${mounts[i]}: ${kind} chart drawn with data`,
            chart.points.some((count) => count > 0) && chart.inked > 500, chart.points);
    }
  }

  await page.screenshot({ path: screenshot, fullPage: true });
  console.log('screenshot: ' + screenshot);
  check('no console errors', consoleErrors.length === 0, consoleErrors);
  check('no dialog (no script from the caster ran)', dialogs.length === 0, dialogs);
  check('nothing requested from anywhere but the monitor', elsewhere.length === 0, elsewhere);
} catch (error) {
  problems.push(String(error));
  console.error('FAIL: ' + (error.stack || error));
} finally {
  await browser.close();
  rmSync(profile, { recursive: true, force: true });
}
console.log(`${checks} browser checks, ${problems.length} failed`);
process.exit(problems.length === 0 ? 0 : 1);
