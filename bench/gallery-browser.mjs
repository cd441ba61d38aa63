// Times a modern page of photos in headless Chromium at 1280 x 800: its first contentful paint,
// its first screen (every thumbnail in view decoded and the frame after it drawn), and in the
// viewer the step to the next photo once it was loaded ahead (→ until the frame showing it);
// prints medians in milliseconds.
// Usage: tests/browser/run.sh MODULES_DIR ../../bench/gallery-browser.mjs PAGE RUNS
import { pathToFileURL } from 'node:url';
import { withPage } from '../tests/browser/browser.mjs';

const [file, runsText] = process.argv.slice(2);
const runs = Number(runsText || 5);
const url = pathToFileURL(file).href;
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const pause = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

const paints = [];
const screens = [];
const steps = [];
for (let run = 0; run < runs; run += 1) {
  await withPage(async (page) => {
    await page.setViewport({ width: 1280, height: 800 });
    await page.goto(url, { waitUntil: 'domcontentloaded', timeout: 120000 });
    // Every picture in view decoded, then the frame after: what a person sees as the screen done.
    screens.push(await page.evaluate(() => new Promise((resolve) => {
      const check = () => {
        const inView = [...document.querySelectorAll('td img')].filter((img) => {
          const box = img.getBoundingClientRect();
          return box.bottom > 0 && box.top < innerHeight && box.width > 0;
        });
        if (inView.length > 0 && inView.every((img) => img.complete && img.naturalWidth > 0)) {
          requestAnimationFrame(() => resolve(performance.now()));
        } else {
          requestAnimationFrame(check);
        }
      };
      check();
    })));
    paints.push(await page.evaluate(() =>
      performance.getEntriesByName('first-contentful-paint')[0]?.startTime ?? NaN));
    await page.click('td a img');
    await page.waitForFunction(() => document.querySelector('dialog')?.open);
    for (let step = 0; step < 5; step += 1) {
      // Time for the neighbours to be fetched ahead, as a person looks at the photo.
      await pause(700);
      steps.push(await page.evaluate(() => new Promise((resolve) => {
        const picture = document.querySelector('dialog img');
        const before = picture.currentSrc;
        const start = performance.now();
        document.querySelector('dialog').dispatchEvent(new KeyboardEvent('keydown', { key: 'ArrowRight', bubbles: true }));
        const check = () => {
          if (picture.currentSrc !== before && picture.complete && picture.naturalWidth > 0) {
            requestAnimationFrame(() => resolve(performance.now() - start));
          } else {
            requestAnimationFrame(check);
          }
        };
        check();
      })));
    }
  });
}
console.log(`first contentful paint: ${median(paints).toFixed(1)} ms`);
console.log(`first screen of pictures: ${median(screens).toFixed(1)} ms`);
console.log(`viewer, next photo: ${median(steps).toFixed(1)} ms (${steps.length} steps)`);
