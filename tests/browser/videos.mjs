// Videos in the modern page with --thumbnails, in a real browser at a wide screen's and a phone's
// size: the poster drawn in its row, the viewer playing the video among the photos, going on to
// a photo and back, closing with the focus back on the poster; accessibility with a video open;
// and a policy it never trips.
// Usage: run.sh MODULES_DIR videos.mjs FOLIMBRA_INDEX [SCREENSHOT_FOLDER]
import { execFileSync } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import {
  accessibilityViolations, Checks, drawn, needFfmpeg, viewports, watchTroubles, withPage,
} from './browser.mjs';

const [index, shots] = process.argv.slice(2);
needFfmpeg();
const folder = mkdtempSync(join(tmpdir(), 'folimbra-videos-'));
const check = new Checks();
const make = (name, source, ...codec) => execFileSync('ffmpeg', ['-loglevel', 'error', '-f', 'lavfi',
  '-i', source, ...codec, join(folder, name)]);
make('a.jpg', 'color=c=red:s=320x240:d=1', '-frames:v', '1');
make('b.webm', 'testsrc=s=320x240:d=3:r=10', '-c:v', 'libvpx', '-b:v', '300k');
make('c.jpg', 'color=c=blue:s=320x240:d=1', '-frames:v', '1');
execFileSync(index, ['--style', 'modern', '--thumbnails', folder], { stdio: ['ignore', 'ignore', 'inherit'] });
const page = pathToFileURL(join(folder, 'Quorvel-Html_index.html')).href;
const troubles = [];

// What the open viewer draws: its picture or its video, and where it stands.
const shown = (tab) => tab.evaluate(() => {
  const dialog = document.querySelector('dialog');
  const visible = (element) => element && element.checkVisibility() && element.getBoundingClientRect().width > 0;
  const video = dialog?.querySelector('video');
  return {
    open: Boolean(dialog?.open),
    picture: visible(dialog?.querySelector('img')),
    video: visible(video),
    source: video?.getAttribute('src') ?? '',
    playing: Boolean(video && !video.paused),
    place: dialog?.querySelector('p span:last-child')?.textContent ?? '',
  };
});

try {
  await withPage(async (tab) => {
    await watchTroubles(tab, troubles);
    for (const view of viewports) {
      const where = `(${view.name})`;
      await tab.setViewport(view);
      await tab.goto(page);
      const posters = await drawn(tab, 'a.vd img');
      check.that(posters.length === 1, `the poster drawn in its row ${where}`, posters);
      const poster = await tab.$('a.vd img');
      await poster.evaluate((element) => element.scrollIntoView());
      await poster.click();
      await tab.waitForFunction(() => document.querySelector('dialog video')?.checkVisibility(), { timeout: 10000 }).catch(() => {});
      let now = await shown(tab);
      check.that(now.open && now.video && !now.picture && now.source.endsWith('/b.webm') && now.place === '2 / 3',
        `the viewer shows the video among the photos ${where}`, now);
      // It plays: its time goes on.
      const played = await tab.evaluate(async () => {
        const video = document.querySelector('dialog video');
        await video.play();
        await new Promise((resolve) => { setTimeout(resolve, 800); });
        return video.currentTime;
      }).catch((error) => `${error}`);
      check.that(typeof played === 'number' && played > 0.2, `the video plays ${where}`, played);
      if (shots) await tab.screenshot({ path: join(shots, `video-${view.name}.png`) });
      await tab.keyboard.press('ArrowRight');
      now = await shown(tab);
      check.that(now.picture && !now.video && !now.playing && now.source === '' && now.place === '3 / 3',
        `→ goes on to the photo and stops the video ${where}`, now);
      await tab.keyboard.press('ArrowLeft');
      now = await shown(tab);
      check.that(now.video && !now.picture && now.source.endsWith('/b.webm'), `← comes back to the video ${where}`, now);
      const violations = await accessibilityViolations(tab);
      check.that(violations.length === 0, `no accessibility violation with the video open ${where}`, violations);
      await tab.keyboard.press('Escape');
      await tab.waitForFunction(() => !document.querySelector('dialog').open, { timeout: 10000 }).catch(() => {});
      now = await shown(tab);
      const focused = await tab.evaluate(() => document.activeElement?.getAttribute('href'));
      check.that(!now.open && !now.playing && focused === 'b.webm', `Escape closes it, the focus back on the poster ${where}`,
        { now, focused });
    }
  }, ['--autoplay-policy=no-user-gesture-required']);
  check.that(troubles.length === 0, 'no script error, dialog or policy violation', troubles);
} finally {
  rmSync(folder, { recursive: true, force: true });
}
check.finish('videos');
