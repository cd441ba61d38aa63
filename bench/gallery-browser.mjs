// Times a modern page of photos in headless Chromium at 1280 x 800: its first contentful paint,
// its first screen (the screen filled with rows, every thumbnail in view decoded and the frame
// after it drawn), DOMContentLoaded, and in the viewer the step to the next photo once it was
// loaded ahead (→ until the frame showing it); prints medians in milliseconds. With SHOT, the
// last run's first frame painted at or after its first screen is written there, to look at.
// Usage: tests/browser/run.sh MODULES_DIR ../../bench/gallery-browser.mjs PAGE RUNS [SHOT.png]
import { writeFileSync } from 'node:fs';
import { pathToFileURL } from 'node:url';
import { withPage } from '../tests/browser/browser.mjs';

const [file, runsText, shot] = process.argv.slice(2);
const runs = Number(runsText || 5);
const url = pathToFileURL(file).href;
const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];
const pause = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

const paints = [];
const screens = [];
const steps = [];
const loaded = [];
for (let run = 0; run < runs; run += 1) {
  await withPage(async (page) => {
    await page.setViewport({ width: 1280, height: 800 });
    // Watched from the first frame, while the page still parses: the screen may be done before
    // the last row has come. Only the bodies on screen are measured; asking for the boxes of
    // rows the browser skips off screen would make it lay them out.
    await page.evaluateOnNewDocument(() => {
      window.firstScreen = new Promise((resolve) => {
        const check = () => {
          const bodies = [...document.querySelectorAll('tbody')].filter((body) => {
            const box = body.getBoundingClientRect();
            return box.bottom > 0 && box.top < innerHeight;
          });
          const rows = bodies.flatMap((body) => [...body.rows]);
          const full = document.readyState !== 'loading'
            || rows.some((row) => row.getBoundingClientRect().bottom >= innerHeight);
          const inView = bodies.flatMap((body) => [...body.getElementsByTagName('img')]).filter((img) => {
            const box = img.getBoundingClientRect();
            return box.bottom > 0 && box.top < innerHeight && box.width > 0;
          });
          if (full && inView.length > 0 && inView.every((img) => img.complete && img.naturalWidth > 0)) {
            requestAnimationFrame(() => resolve(performance.now()));
          } else {
            requestAnimationFrame(check);
          }
        };
        requestAnimationFrame(check);
      });
    });
    // The frames as painted, with their times: the only view of the page while it still parses.
    const frames = [];
    const devtools = shot ? await page.createCDPSession() : null;
    devtools?.on('Page.screencastFrame', (frame) => {
      frames.push({ at: frame.metadata.timestamp * 1000, data: frame.data });
      devtools.send('Page.screencastFrameAck', { sessionId: frame.sessionId }).catch(() => {});
    });
    await devtools?.send('Page.startScreencast', { format: 'png' });
    await page.goto(url, { waitUntil: 'domcontentloaded', timeout: 120000 });
    const [screen, origin] = await page.evaluate(async () => [await window.firstScreen,
      performance.timeOrigin]);
    screens.push(screen);
    if (devtools) {
      await devtools.send('Page.stopScreencast');
      const frame = frames.find((f) => f.at - origin >= screen) ?? frames.at(-1);
      if (frame) writeFileSync(shot, Buffer.from(frame.data, 'base64'));
    }
    loaded.push(await page.evaluate(() => performance.timing.domContentLoadedEventStart
      - performance.timing.navigationStart));
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
console.log(`DOMContentLoaded: ${median(loaded).toFixed(1)} ms`);
console.log(`first screen of pictures: ${median(screens).toFixed(1)} ms`);
console.log(`viewer, next photo: ${median(steps).toFixed(1)} ms (${steps.length} steps)`);
