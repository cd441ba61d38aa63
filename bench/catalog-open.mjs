// Opens a catalogue in headless Chromium and measures, RUNS times each, the medians of: the
// time until it is usable (tree shown, search box live), one search keystroke, and the
// browser's memory (the page's JavaScript heap and the renderer's whole), beside the memory of
// the same browser with a blank page, which the catalogue cannot make smaller. RUNS: default 5.
// Usage: tests/browser/run.sh MODULES_DIR ../../bench/catalog-open.mjs CATALOG.html
import { readdirSync, readFileSync } from 'node:fs';
import { pathToFileURL } from 'node:url';
import { withPage } from '../tests/browser/browser.mjs';

const catalog = process.argv[2];
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const usable = [];
const keystroke = [];
const heap = [];
const whole = [];
// The memory of the browser and every process it started (proportional set size, so pages
// shared between its processes count once), in MB.
const browserMemory = (pid) => {
  const parents = new Map();
  for (const entry of readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = readFileSync(`/proc/${entry}/stat`, 'utf8');
      parents.set(Number(entry), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
    } catch { /* gone meanwhile */ }
  }
  const family = new Set([pid]);
  for (let grown = true; grown;) {
    grown = false;
    for (const [child, parent] of parents) {
      if (family.has(parent) && !family.has(child)) { family.add(child); grown = true; }
    }
  }
  let kilobytes = 0;
  for (const member of family) {
    try {
      const pss = /^Pss:\s+(\d+)/m.exec(readFileSync(`/proc/${member}/smaps_rollup`, 'utf8'));
      if (pss) kilobytes += Number(pss[1]);
    } catch { /* gone meanwhile */ }
  }
  return kilobytes / 1024;
};
for (let run = 0; run < Number(process.env.RUNS || 5); run += 1) {
  await withPage(async (page) => {
    const started = Date.now();
    await page.goto(pathToFileURL(catalog).href);
    await page.waitForSelector('body[data-ready="1"]', { timeout: 120000 });
    usable.push(Date.now() - started);
    // One keystroke: the query grows by a letter and the results are in the page.
    await page.$eval('#search', (input) => { input.value = 'arbo'; input.dispatchEvent(new Event('input')); });
    keystroke.push(await page.$eval('#search', (input) => {
      const t = performance.now();
      input.value = 'arbol 00*';
      input.dispatchEvent(new Event('input'));
      document.body.getBoundingClientRect();
      return performance.now() - t;
    }));
    const metrics = await page.metrics();
    heap.push(metrics.JSHeapUsedSize / 1048576);
    whole.push(browserMemory(page.browser().process().pid));
  });
}
const blank = await withPage(async (page) => {
  await page.goto('about:blank');
  return browserMemory(page.browser().process().pid);
});
console.log(`usable: median ${median(usable)} ms of ${usable.join(', ')}`);
console.log(`keystroke: median ${median(keystroke).toFixed(1)} ms of ${keystroke.map((v) => v.toFixed(1)).join(', ')}`);
console.log(`JS heap: median ${median(heap).toFixed(0)} MB`);
console.log(`browser, all its processes: median ${median(whole).toFixed(0)} MB (target < 600); `
  + `with a blank page ${blank.toFixed(0)} MB`);
