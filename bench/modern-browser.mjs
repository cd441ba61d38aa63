// Times a modern page in headless Chromium: first contentful paint, a click on each column
// header and filter keystrokes, each until the next frame (and a sort also until every row has
// moved: "settled"); prints medians in milliseconds.
// Usage: tests/browser/run.sh MODULES_DIR ../../bench/modern-browser.mjs PAGE RUNS [phone]
import { pathToFileURL } from 'node:url';
import { withPage } from '../tests/browser/browser.mjs';

const [file, runsText, phone] = process.argv.slice(2);
const runs = Number(runsText || 5);
const url = pathToFileURL(file).href;
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

const paints = [];
const sorts = [];
const keys = [];
for (let run = 0; run < runs; run += 1) {
  await withPage(async (page) => {
    if (phone) {
      await page.setViewport({ width: 360, height: 740, deviceScaleFactor: 2, isMobile: true });
      await page.emulateCPUThrottling(4);
    }
    await page.goto(url, { waitUntil: 'load', timeout: 120000 });
    paints.push(await page.evaluate(() =>
      performance.getEntriesByName('first-contentful-paint')[0]?.startTime ?? NaN));
    if (phone) return;
    for (const column of [2, 3, 1, 1]) {
      sorts.push(await page.evaluate(async (column) => {
        // Until the frame after the click is drawn.
        const frame = () => new Promise((resolve) => requestAnimationFrame(() => setTimeout(resolve, 0)));
        const start = performance.now();
        document.querySelector(`th:nth-child(${column}) button`).click();
        await frame();
        const drawn = performance.now() - start;
        // Rows off screen move after that frame; the table is busy until they have.
        while (document.getElementById('t').hasAttribute('aria-busy')) {
          await new Promise((resolve) => setTimeout(resolve, 5));
        }
        return [drawn, performance.now() - start];
      }, column));
    }
    keys.push(...await page.evaluate(async () => {
      const frame = () => new Promise((resolve) => requestAnimationFrame(() => setTimeout(resolve, 0)));
      const box = document.getElementById('q');
      const times = [];
      for (const text of ['d', 'do', 'doc', 'docu', 'doc', 'do', 'd', '']) {
        const start = performance.now();
        box.value = text;
        box.dispatchEvent(new Event('input'));
        await frame();
        times.push(performance.now() - start);
      }
      return times;
    }));
  });
}
const line = { firstPaint: median(paints), paints };
if (!phone) {
  Object.assign(line, { sort: median(sorts.map(([drawn]) => drawn)),
    settled: median(sorts.map(([, settled]) => settled)), keystroke: median(keys),
    sorts: sorts.map(([drawn]) => drawn), settles: sorts.map(([, settled]) => settled), keys });
}
console.log(JSON.stringify(line, (key, value) => (typeof value === 'number' ? Math.round(value) : value)));
