// Opens a report in headless Chromium with the network switched off and checks it as a reader uses it.
//   node check_report.js REPORT.html EXPECTED.json [SCREENSHOT.png]
// EXPECTED.json: {modules, dependencies, missing: [ModuleID...], cyclic: [key...], scriptModule, closure: {root, keys}}
// With only REPORT.html it prints how long the page and its graph take to show, and checks nothing else.
'use strict';
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const puppeteer = require('puppeteer-core');

const [reportFile, expectedFile, screenshot] = process.argv.slice(2);
const browserPath = process.env.CHROMIUM || '/usr/bin/chromium';

async function open(browser) {
  const page = await browser.newPage();
  const problems = [];
  page.on('console', (m) => { if (m.type() === 'error') problems.push('console: ' + m.text()); });
  page.on('pageerror', (e) => problems.push('page error: ' + e.message));
  await page.setOfflineMode(true);
  await page.setRequestInterception(true);
  page.on('request', (r) => {
    if (r.url().startsWith('file:') || r.url().startsWith('data:')) return r.continue();
    problems.push('network request: ' + r.url());
    return r.abort();
  });
  await page.setViewport({ width: 1400, height: 900 });
  return { page, problems };
}

// From navigation to the page ready, then to the graph drawn.
async function load(page) {
  const started = Date.now();
  await page.goto('file://' + path.resolve(reportFile), { waitUntil: 'load', timeout: 60000 });
  await page.waitForSelector('body[data-ready="1"]', { timeout: 60000 });
  const ready = Date.now() - started;
  await page.evaluate(() => { location.hash = '#graph'; });
  await page.waitForSelector('#graph[data-drawn]', { timeout: 60000 });
  return { ready, graph: Date.now() - started };
}

const count = (page, selector) => page.$$eval(selector, (list) => list.length);
const titles = (page, selector) => page.$$eval(selector, (list) => list.map((n) => n.querySelector('title').textContent));

async function check(page, problems, expected) {
  assert.equal(await count(page, '#graph-svg g.node[data-kind="module"]'), expected.modules, 'one node per module');
  assert.equal(await count(page, '#graph-svg g.edge-group[data-kind="dependency"]'), expected.dependencies, 'one edge per dependency');
  const missing = await titles(page, '#graph-svg g.node[data-kind="missing"]');
  assert.deepEqual(missing.map((t) => t.replace(/:.*/, '')).sort(), [...expected.missing].sort(), 'missing modules drawn apart');
  assert.deepEqual((await titles(page, '#graph-svg g.node.cyclic')).sort(), [...expected.cyclic].sort(), 'cycle marked');
  assert.ok(await count(page, '#graph-svg path.edge.cyclic') >= expected.cyclic.length, 'cycle edges marked');
  assert.ok(await count(page, '#graph-svg path.edge.old') >= 1, 'a too-old edge marked');
  assert.ok(await count(page, '#graph-svg path.edge.exclusion') >= 1, 'an exclusion in force marked');
  assert.ok(await count(page, '#legend li') >= 6, 'the legend explains the marks');

  // A click on a node opens the module's page.
  let node = null;
  for (const handle of await page.$$('#graph-svg g.node[data-kind="module"]'))
    if (await handle.$eval('title', (t) => t.textContent) === expected.closure.root) node = handle;
  assert.ok(node, 'the root module is drawn');
  // Timed inside the page, from the click to the page shown, so that the driver's own trips do not count.
  await page.evaluate(() => document.addEventListener('click', () => { window.clickedAt = performance.now(); }, { capture: true, once: true }));
  await node.click();
  await page.waitForSelector('#module:not([hidden]) h2', { timeout: 30000 });
  const opened = await page.evaluate(() => Number(document.getElementById('module').dataset.shownAt) - window.clickedAt);
  assert.equal(await page.$eval('#module h2', (h) => h.textContent), expected.closure.root);
  console.log(`a click on a node showed its page in ${opened.toFixed(1)} ms`);
  assert.ok(opened < 1000, `the module page opened in ${opened} ms`);

  // The filter to one module's closure, from its page.
  await page.evaluate(() => [...document.querySelectorAll('#module a')].find((a) => a.textContent === 'Show what it pulls in').click());
  await page.waitForFunction(() => !document.getElementById('graph').hidden && document.getElementById('graph-root').value !== '');
  assert.deepEqual((await titles(page, '#graph-svg g.node')).sort(), [...expected.closure.keys].sort(), 'the closure alone');

  // The module table: every module, searchable.
  await page.evaluate(() => { location.hash = '#modules'; });
  assert.equal(await count(page, '#module-table tbody tr'), expected.modules, 'a row per module');
  await page.type('#module-search', 'cycle');
  assert.equal(await count(page, '#module-table tbody tr:not([hidden])'), expected.cyclic.length, 'search narrows the table');
  await page.click('#module-table th[data-column="version"]');
  const versions = await page.$$eval('#module-table tbody tr', (rows) => rows.map((r) => r.children[2].textContent));
  assert.deepEqual(versions, [...versions].sort((a, b) => a.localeCompare(b, undefined, { numeric: true })), 'sorted by version');

  // Markup in a module's summary shows as text and does not run.
  const index = await page.evaluate((key) => JSON.parse(document.getElementById('report-data').textContent).modules.findIndex((m) => m.key === key), expected.scriptModule);
  await page.evaluate((i) => { location.hash = '#module/' + i; }, index);
  const subject = await page.$eval('#module dl.identity', (dl) => dl.textContent);
  assert.ok(subject.includes('<script>window.injected = true;</script> "quoted" & \'single\' </td>'), 'the summary shown as text: ' + subject);
  assert.equal(await page.evaluate(() => window.injected), undefined, 'the summary did not run');
  assert.equal(await count(page, 'script'), 3, 'no script element but the page\'s own');
  assert.deepEqual(problems, [], 'no console error and no network request');
}

(async () => {
  const browser = await puppeteer.launch({ executablePath: browserPath, headless: true, args: ['--no-sandbox', '--disable-gpu'] });
  try {
    const { page, problems } = await open(browser);
    const times = await load(page);
    console.log(`${path.basename(reportFile)}: ${fs.statSync(reportFile).size} bytes, ready in ${times.ready} ms, graph drawn in ${times.graph} ms; ${await page.$eval('#graph-status', (s) => s.textContent)}`);
    if (screenshot) await page.screenshot({ path: screenshot });
    if (expectedFile) await check(page, problems, JSON.parse(fs.readFileSync(expectedFile, 'utf8')));
    else assert.deepEqual(problems, []);
    console.log('1 passed, 0 failed');
  } finally {
    await browser.close();
  }
})().catch((e) => {
  console.error(e.stack || String(e));
  console.log('0 passed, 1 failed');
  process.exit(1);
});
