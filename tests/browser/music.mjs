// The music of --style modern --tags in a real browser, at a wide screen's and a phone's size:
// the tags' columns drawn, sorting and filtering by a tag, the album heading, a track that plays
// and hands on to the next one, hostile tags shown as text, and a policy it never trips.
// Usage: run.sh MODULES_DIR music.mjs FOLIMBRA_INDEX
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import {
  accessibilityViolations, Checks, drawn, needFfmpeg, viewports, watchTroubles, withPage,
} from './browser.mjs';

const index = process.argv[2];
needFfmpeg();
const scratch = mkdtempSync(join(tmpdir(), 'folimbra-music-'));
const check = new Checks();
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);
const pause = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

const track = (folder, name, tags) => {
  const metadata = Object.entries(tags).flatMap(([key, value]) => ['-metadata', `${key}=${value}`]);
  execFileSync('ffmpeg', ['-loglevel', 'error', '-f', 'lavfi', '-i', 'sine=frequency=440:duration=1',
    ...metadata, join(folder, name)]);
};
const album = join(scratch, 'Disco');
mkdirSync(album);
const disc = { artist: 'Banda', album: 'Discoteca', date: '1999' };
track(album, 'a.flac', { ...disc, title: 'Cielo', track: '3' });
track(album, 'b.ogg', { ...disc, title: 'Agua', track: '1' });
track(album, 'c.mp3', { ...disc, title: 'Bosque', track: '2' });
writeFileSync(join(album, 'notas.txt'), 'notas');
const hostile = join(scratch, 'Hostil');
mkdirSync(hostile);
const evil = { title: '</script><script>alert(1)</script>', artist: '"><img src=x onerror=alert(2)>',
  album: 'disco\u202Eexe.mp3' };
track(hostile, 'x.ogg', evil);
track(hostile, 'y.ogg', { title: 'otra', artist: 'otro', album: 'otro disco' });
for (const folder of [album, hostile]) {
  execFileSync(index, ['--style', 'modern', '--tags', folder], { stdio: ['ignore', 'ignore', 'inherit'] });
}

const troubles = [];
// The names of the rows drawn, top to bottom.
const rowsDrawn = async (tab) => (await drawn(tab, 'tbody td:first-child a')).map((cell) => cell.text);
const clickHeader = async (tab, text) => {
  const [button] = await tab.$$(`xpath/.//th/button[normalize-space(text())="${text}"]`);
  await button.click();
};

try {
  await withPage(async (tab) => {
    await watchTroubles(tab, troubles);
    for (const view of viewports) {
      await tab.setViewport({ width: view.width, height: view.height });
      await tab.goto(pathToFileURL(join(album, 'Quorvel-Html_index.html')).href);
      const heads = (await drawn(tab, 'th button')).map((head) => head.text);
      for (const name of ['Nombre', 'Modificado', 'Tamaño', 'Título', 'Artista', 'Álbum', 'Pista', 'Año',
        'Duración']) {
        check.that(heads.includes(name), `${view.name}: the column ${name} is drawn`, heads);
      }
      const cells = (await drawn(tab, 'tbody td')).map((cell) => cell.text.trim());
      check.that(['Cielo', 'Banda', 'Discoteca', '1999', '0:01'].every((text) => cells.includes(text)),
        `${view.name}: the tags are drawn`, cells);
      // In both themes, the players and the tag columns included.
      for (const scheme of ['light', 'dark']) {
        await tab.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: scheme }]);
        const violations = await accessibilityViolations(tab);
        check.that(violations.length === 0, `${view.name}: no accessibility violation (${scheme})`, violations);
      }
      await tab.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'light' }]);
      const heading = await drawn(tab, '.al h2');
      check.that(heading.length === 1 && heading[0].text === 'Discoteca', `${view.name}: the album heading`, heading);
      const about = (await drawn(tab, '.al p')).map((line) => line.text);
      check.that(same(about, ['Banda · 1999 · 3 pistas · 0:03']), `${view.name}: the album's artist, year, tracks and time`, about);
      check.that(same(await rowsDrawn(tab), ['a.flac', 'b.ogg', 'c.mp3', 'notas.txt']),
        `${view.name}: by name at first`, await rowsDrawn(tab));
      await clickHeader(tab, 'Pista');
      check.that(same(await rowsDrawn(tab), ['b.ogg', 'c.mp3', 'a.flac', 'notas.txt']),
        `${view.name}: by track`, await rowsDrawn(tab));
      await clickHeader(tab, 'Título');
      await clickHeader(tab, 'Título');
      check.that(same(await rowsDrawn(tab), ['notas.txt', 'a.flac', 'c.mp3', 'b.ogg']),
        `${view.name}: by title, descending`, await rowsDrawn(tab));
      await tab.type('#q', 'bosque');
      check.that(same(await rowsDrawn(tab), ['c.mp3']), `${view.name}: filtered by a title`, await rowsDrawn(tab));
      await tab.$eval('#q', (input) => { input.value = ''; input.dispatchEvent(new Event('input')); });
      const players = await drawn(tab, 'audio');
      check.that(players.length === 3, `${view.name}: a player for each track`, players.length);
    }

    // Played in track order: the first ends, the next one starts by itself.
    await tab.setViewport({ width: 1280, height: 800 });
    await tab.goto(pathToFileURL(join(album, 'Quorvel-Html_index.html')).href);
    await clickHeader(tab, 'Pista');
    await tab.$eval('audio[src="b.ogg"]', (player) => player.play());
    const playing = (src) => tab.$eval(`audio[src="${src}"]`, (player) => ({ paused: player.paused,
      time: player.currentTime, ended: player.ended }));
    await pause(400);
    const first = await playing('b.ogg');
    check.that(!first.paused && first.time > 0, 'the first track plays', first);
    let next = null;
    for (let tries = 0; tries < 40 && !(next?.time > 0); tries += 1) {
      await pause(100);
      next = await playing('c.mp3');
    }
    check.that(next && !next.paused && next.time > 0, 'the next track in the table\'s order plays', next);
    check.that((await playing('b.ogg')).ended, 'after the first one ended');
    check.that((await playing('a.flac')).paused, 'the one after waits');

    for (const view of viewports) {
      await tab.setViewport({ width: view.width, height: view.height });
      await tab.goto(pathToFileURL(join(hostile, 'Quorvel-Html_index.html')).href);
      const cells = (await drawn(tab, 'tbody td')).map((cell) => cell.text.trim());
      for (const text of [evil.title, evil.artist, 'disco[U+202E]exe.mp3']) {
        check.that(cells.includes(text), `${view.name}: a hostile tag is shown as text`, { text, cells });
      }
      check.that((await tab.$$('tbody img, tbody script')).length === 0, `${view.name}: no element made of a tag`);
      check.that((await drawn(tab, '.al')).length === 0, `${view.name}: two albums get no heading`);
    }

    // With scripts off: every file listed with its tags, a player for each track.
    await tab.setJavaScriptEnabled(false);
    for (const view of viewports) {
      await tab.setViewport({ width: view.width, height: view.height });
      await tab.goto(pathToFileURL(join(album, 'Quorvel-Html_index.html')).href);
      check.that(same(await rowsDrawn(tab), ['a.flac', 'b.ogg', 'c.mp3', 'notas.txt']),
        `${view.name}, no script: every file`, await rowsDrawn(tab));
      check.that((await drawn(tab, 'audio')).length === 3 && (await drawn(tab, '.al h2')).length === 1,
        `${view.name}, no script: the players and the heading`);
    }
  }, ['--autoplay-policy=no-user-gesture-required']);
  check.that(troubles.length === 0, 'no script error, dialog or policy violation', troubles);
} finally {
  rmSync(scratch, { recursive: true, force: true });
}
check.finish('music');
