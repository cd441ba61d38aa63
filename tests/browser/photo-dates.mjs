// When photos were taken, in a modern page as a real browser draws it, at a wide screen's and a
// phone's size: the date under each photo's name, --sort taken's order on screen, the date in the
// viewer's caption, and hostile Exif text that never reaches the page; the same dates in a
// catalogue; no script error and nothing the policy refused.
// Usage: run.sh MODULES_DIR photo-dates.mjs FOLIMBRA_INDEX [SCREENSHOT_FOLDER]
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync, utimesSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { Checks, drawn, viewports, watchTroubles, withPage } from './browser.mjs';

const [index, shots] = process.argv.slice(2);
const scratch = mkdtempSync(join(tmpdir(), 'folimbra-dates-'));
const check = new Checks();
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

// The Exif block a camera writes: a little-endian TIFF whose first folder points to the Exif
// folder, holding DateTimeOriginal and, where given, OffsetTimeOriginal.
const exif = (taken, offset) => {
  const tags = [[0x9003, taken], ...(offset ? [[0x9011, offset]] : [])]
    .map(([tag, text]) => [tag, Buffer.concat([Buffer.from(text, 'utf8'), Buffer.alloc(1)])]);
  const head = Buffer.alloc(8 + 18 + 2 + 12 * tags.length + 4);
  head.write('II*\0', 0, 'latin1');
  head.writeUInt32LE(8, 4);
  head.writeUInt16LE(1, 8);
  head.writeUInt16LE(0x8769, 10);
  head.writeUInt16LE(4, 12);
  head.writeUInt32LE(1, 14);
  head.writeUInt32LE(26, 18);
  head.writeUInt16LE(tags.length, 26);
  let data = head.length;
  tags.forEach(([tag, value], k) => {
    const at = 28 + 12 * k;
    head.writeUInt16LE(tag, at);
    head.writeUInt16LE(2, at + 2);
    head.writeUInt32LE(value.length, at + 4);
    head.writeUInt32LE(data, at + 8);
    data += value.length;
  });
  return Buffer.concat([Buffer.from('Exif\0\0', 'latin1'), head, ...tags.map(([, value]) => value)]);
};
// A JPEG of one colour from cjpeg, with the block as its APP1 segment after the start marker.
const jpeg = ([r, g, b], block) => {
  const pixels = Buffer.alloc(240 * 160 * 3);
  for (let i = 0; i < pixels.length; i += 3) pixels.set([r, g, b], i);
  const made = execFileSync('cjpeg', [], { input: Buffer.concat([Buffer.from('P6\n240 160\n255\n'), pixels]) });
  if (!block) return made;
  const length = Buffer.alloc(4);
  length.set([0xff, 0xe1], 0);
  length.writeUInt16BE(block.length + 2, 2);
  return Buffer.concat([made.subarray(0, 2), length, block, made.subarray(2)]);
};

const folder = join(scratch, 'Vacaciones');
mkdirSync(folder);
const hostile = '</script>"><img src=x onerror=alert(1)>\u202Eevil';
const files = {
  'a-vieja.jpg': [jpeg([200, 60, 40], exif('2019:05:01 08:00:00')), 2024],
  'b-nueva.jpg': [jpeg([40, 90, 200], exif('2023:03:04 10:11:12', '-03:00')), 2018],
  'c-sin.jpg': [jpeg([50, 160, 70]), 2021],
  'd-hostil.jpg': [jpeg([220, 160, 30], exif(hostile, hostile)), 2020],
  'notas.txt': [Buffer.from('notas'), 2022],
};
for (const [name, [bytes, year]] of Object.entries(files)) {
  writeFileSync(join(folder, name), bytes);
  utimesSync(join(folder, name), new Date(year, 0, 10), new Date(year, 0, 10));
}
execFileSync(index, ['--style', 'modern', '--thumbnails', '--sort', 'taken', folder],
  { stdio: ['ignore', 'ignore', 'inherit'] });
const troubles = [];

try {
  await withPage(async (tab) => {
    await watchTroubles(tab, troubles);
    for (const view of viewports) {
      const where = `(${view.name})`;
      await tab.setViewport(view);
      await tab.goto(pathToFileURL(join(folder, 'Quorvel-Html_index.html')).href);
      // Newest first by the date taken, the others by their file's time: 2023, 2022, 2021, 2020,
      // and the photo of 2019 whose file is the newest last.
      const links = await drawn(tab, 'tbody td:first-child > a');
      const order = links.map((link) => link.text);
      check.that(same(order, ['b-nueva.jpg', 'notas.txt', 'c-sin.jpg', 'd-hostil.jpg', 'a-vieja.jpg']),
        `--sort taken's order on screen ${where}`, order);
      // The date leaves the list's layout as it was: small pictures beside the names.
      const pictures = await drawn(tab, 'tbody img');
      check.that(pictures.length === 4 && pictures.every((picture) => picture.width <= 64 && picture.height <= 64),
        `the pictures drawn small beside the names ${where}`, pictures);
      const dates = await drawn(tab, '.tk');
      check.that(same(dates.map((date) => date.text), ['Tomada el 4/3/23 10:11', 'Tomada el 1/5/19 8:00']),
        `the dates taken drawn, and only those ${where}`, dates);
      // Each under its own photo's name, inside its row.
      for (const [date, name] of [[dates[0], 'b-nueva.jpg'], [dates[1], 'a-vieja.jpg']]) {
        const link = links.find((one) => one.text === name);
        check.that(date && link && date.top >= link.top + link.height - 1 && date.top < link.top + link.height + 40,
          `the date of ${name} under its name ${where}`, [date, link]);
      }
      check.that(await tab.evaluate(() => document.querySelector('time[datetime="2023-03-04T10:11:12-03:00"]') !== null),
        `the exact time and offset in the date's datetime ${where}`);
      const text = await tab.evaluate(() => document.body.innerText);
      check.that(!text.includes('onerror') && !text.includes('</script>') && !text.includes('\u202E')
        && !(await tab.$('img[src=x]')), `no hostile Exif text reaches the page ${where}`);
      if (shots && view.name === 'wide') await tab.screenshot({ path: join(shots, 'gallery-dates-wide.png') });

      // The viewer says when the photo was taken, beside its name and place.
      await tab.click('tbody tr:nth-child(1) img');
      await tab.waitForFunction(() => document.querySelector('dialog')?.open, { timeout: 10000 }).catch(() => {});
      let caption = (await drawn(tab, 'dialog h2, dialog p span')).map((element) => element.text);
      check.that(same(caption, ['b-nueva.jpg', 'Tomada el 4/3/23 10:11', '1 / 4']),
        `the viewer's caption with the date taken ${where}`, caption);
      await tab.keyboard.press('ArrowRight');
      caption = (await drawn(tab, 'dialog h2, dialog p span')).map((element) => element.text);
      check.that(same(caption, ['c-sin.jpg', '10/1/21 0:00', '2 / 4']),
        `a photo without a date shows its file's ${where}`, caption);
      if (shots && view.name === 'phone') await tab.screenshot({ path: join(shots, 'viewer-dates-phone.png') });
      await tab.keyboard.press('Escape');
    }

    // The catalogue of the same folder, made with the dates: a column of them as the camera's
    // clock wrote them, sorting as --sort taken does, in search results too.
    const catalog = join(scratch, 'catalogo.html');
    execFileSync(index, ['--catalog', catalog, '--images', folder], { stdio: ['ignore', 'ignore', 'inherit'] });
    // The page made above is the newest file.
    for (const view of viewports) {
      const where = `(catalogue, ${view.name})`;
      await tab.setViewport(view);
      await tab.goto(pathToFileURL(catalog).href);
      await tab.waitForSelector('body[data-ready="1"]', { timeout: 20000 });
      const heads = (await drawn(tab, '#files th')).map((head) => head.text);
      check.that(same(heads, ['Nombre', 'Modificado', 'Tomada', 'Tamaño']),
        `the column of dates taken drawn ${where}`, heads);
      const rows = () => tab.evaluate(() => [...document.querySelectorAll('#files tr')].slice(1)
        .map((tr) => [tr.cells[0].textContent, tr.cells[2].textContent, tr.cells[2].getBoundingClientRect().width > 0]));
      let seen = await rows();
      check.that(same(seen.find((row) => row[0] === 'b-nueva.jpg'), ['b-nueva.jpg', '4/3/23, 10:11', true])
        && same(seen.find((row) => row[0] === 'c-sin.jpg'), ['c-sin.jpg', '', true]),
        `a photo's date as taken, none for a photo without ${where}`, seen);
      await tab.evaluate(() => [...document.querySelectorAll('#files th')].find((th) => th.textContent.startsWith('Tomada')).click());
      seen = (await drawn(tab, '#files td.name a')).map((link) => link.text);
      check.that(same(seen, ['a-vieja.jpg', 'd-hostil.jpg', 'c-sin.jpg', 'notas.txt', 'b-nueva.jpg',
        'Quorvel-Html_index.html']),
        `sorted by when taken, the others by their file's time ${where}`, seen);
      await tab.$eval('#search', (input) => {
        input.value = 'nueva';
        input.dispatchEvent(new Event('input'));
      });
      seen = await tab.evaluate(() => [...document.querySelectorAll('#results tr')].slice(1)
        .map((tr) => [...tr.cells].map((cell) => cell.textContent)));
      check.that(seen.length === 1 && seen[0][0] === 'b-nueva.jpg' && seen[0][3] === '4/3/23, 10:11',
        `a search result with its date taken ${where}`, seen);
      const text = await tab.evaluate(() => document.body.innerText);
      check.that(!text.includes('onerror') && !text.includes('\u202E'), `no hostile Exif text in the catalogue ${where}`);
      if (shots) await tab.screenshot({ path: join(shots, `catalog-dates-${view.name}.png`) });
    }
  });
} finally {
  rmSync(scratch, { recursive: true, force: true });
}
check.that(troubles.length === 0, 'no script error, dialog or refused load', troubles);
check.finish('photo-dates');
