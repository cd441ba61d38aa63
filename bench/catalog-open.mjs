// Opens a catalogue in headless Chromium and measures, five times each, the medians of: the
// time until it is usable (tree shown, search box live), one search keystroke, and the
// browser's memory (the page's JavaScript heap and the renderer's whole).
// Usage: tests/browser/run.sh MODULES_DIR ../../bench/catalog-open.mjs CATALOG.html
import { pathToFileURL } from 'node:url';
import { withPage } from '../tests/browser/browser.mjs';

const catalog = process.argv[2];
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const usable = [];
const keystroke = [];
const heap = [];
for (let run = 0; run < 5; run += 1) {
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
  });
}
console.log(`usable: median ${median(usable)} ms of ${usable.join(', ')}`);
console.log(`keystroke: median ${median(keystroke).toFixed(1)} ms of ${keystroke.map((v) => v.toFixed(1)).join(', ')}`);
console.log(`JS heap: median ${median(heap).toFixed(0)} MB`);
