// A catalogue of a three-level tree with hostile names, opened from file:// in Chromium: the
// search finds exactly what a small oracle here finds, every link opens its file, the folder
// totals are the sums, and the folder that could not be read is marked.
// Usage: run.sh MODULES_DIR catalog.mjs FOLIMBRA_INDEX
import { spawnSync } from 'node:child_process';
import {
  chmodSync, existsSync, lstatSync, mkdirSync, mkdtempSync, readdirSync, rmSync, statSync,
  symlinkSync, utimesSync, writeFileSync,
} from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { Checks, withPage } from './browser.mjs';

const index = process.argv[2];
const scratch = mkdtempSync(join(tmpdir(), 'folimbra-catalog-'));
const top = join(scratch, 'top');
const contents = new Map(); // what each file holds, by its path as bytes in hex
const times = new Map(); // and when it was modified, in seconds
let made = 0;
const put = (folder, name) => {
  const path = Buffer.concat([Buffer.from(`${folder}/`), Buffer.isBuffer(name) ? name : Buffer.from(name)]);
  const text = `archivo ${made += 1}`;
  writeFileSync(path, text);
  contents.set(path.toString('hex'), text);
  // Times from 1975 on, two years apart: the later files pass 2001, where the page counts from.
  const time = 160000000 + made * 63115200;
  utimesSync(path, time, time);
  times.set(path.toString('hex'), time);
};
mkdirSync(join(top, 'a', 'b'), { recursive: true });
mkdirSync(join(top, 'cerrada'));
for (const name of ['ctl\u0001name', '%23#x.txt', ' blank ', 'rtl\u202Eexe.txt', 'Árbol.txt',
  'plain.txt', Buffer.from([0x62, 0x61, 0x64, 0xE9, 0x2E, 0x74, 0x78, 0x74])]) put(top, name);
for (const name of ['arbol.txt', 'x?y.txt', 'sin punto', 'line\nbreak']) put(join(top, 'a'), name);
for (const name of ['deep árbol.txt', 'DEEP.TXT', 'nota\u0087.txt']) put(join(top, 'a', 'b'), name);
put(join(top, 'cerrada'), 'secreto.txt');
symlinkSync('..', join(top, 'a', 'bucle'));
symlinkSync('a/b', join(top, 'a la b'));
chmodSync(join(top, 'cerrada'), 0o000);
chmodSync(scratch, 0o777);

// Root reads every folder: the run goes as nobody there, so that one folder stays closed.
const asNobody = process.getuid() === 0 ? ['setpriv', '--reuid=65534', '--regid=65534',
  '--clear-groups'] : [];
const catalog = join(scratch, 'catálogo.html');
const [program, ...args] = [...asNobody, index, '--catalog', catalog, top];
const run = spawnSync(program, args, { encoding: 'utf8' });
const check = new Checks();
check.that(run.status === 1, 'an unreadable folder ends the run with 1', run.status);
check.that(/cerrada/.test(run.stderr), 'the unreadable folder is reported', run.stderr);
check.that(existsSync(catalog), 'the catalogue is still written');

// The oracle: each entry as the pages show it, folded and matched on its own.
const deceptive = /[\u0080-\u009F\u00AD\u061C\u200B\u200E\u200F\u202A-\u202E\u2060\u2066-\u2069\uFEFF]/gu;
const shownName = (bytes) => {
  let text;
  try {
    text = new TextDecoder('utf-8', { fatal: true }).decode(bytes);
  } catch {
    text = bytes.toString('latin1'); // the test's only such byte, 0xE9, is "é" in Windows-1252
  }
  return text.replace(deceptive, (c) => `[U+${c.codePointAt(0).toString(16).toUpperCase().padStart(4, '0')}]`);
};
const fold = (text) => text.toLowerCase().normalize('NFD').replace(/\p{M}/gu, '');
const rootShown = `${top}/`;
const entries = []; // { key, shown, folder: true|false }
const totals = new Map(); // folder path shown -> { files, bytes }
const linked = new Map(); // folder path shown -> links to folders in it, as the list shows them
const walk = (bytesPath, shownPath, above) => {
  const here = { files: 0, bytes: 0 };
  totals.set(shownPath, here);
  linked.set(shownPath, []);
  let names;
  try {
    names = readdirSync(bytesPath, { encoding: 'buffer' });
  } catch {
    names = [];
  }
  if (shownPath.endsWith('cerrada/')) names = [];
  for (const name of names) {
    const path = Buffer.concat([bytesPath, Buffer.from('/'), name]);
    const stat = lstatSync(path);
    const shown = shownName(name);
    if (stat.isDirectory()) {
      entries.push({ key: `${shownPath}${shown}/`, shown, folder: true });
      walk(path, `${shownPath}${shown}/`, [...above, here]);
    } else if (stat.isSymbolicLink()) {
      if (statSync(path, { throwIfNoEntry: false })?.isDirectory()) linked.get(shownPath).push(`${shown}/`);
    } else {
      entries.push({ key: `${shownPath}${shown}`, shown, folder: false });
      for (const folder of [...above, here]) {
        folder.files += 1;
        folder.bytes += stat.size;
      }
    }
  }
};
walk(Buffer.from(top), rootShown, []);
const oracle = (query) => {
  const needle = fold(query);
  const pattern = new RegExp(needle.replace(/[.+^${}()|[\]\\]/g, '\\$&').replace(/\*/g, '.*')
    .replace(/\?/g, '.'), 's');
  return entries.filter((entry) => pattern.test(fold(entry.shown))).map((entry) => entry.key).sort();
};

try {
  await withPage(async (page) => {
    await page.goto(pathToFileURL(catalog).href);
    await page.waitForSelector('body[data-ready="1"]', { timeout: 20000 });

    for (const query of ['arbol', 'ÁRBOL', '*.txt', 'b?d', '%23', 'u+202e]exe', ' blank', 'x?y',
      'deep*txt', 'nota[u+0087]', 'cerrada', 'line?break', 'punto', '\u0301', 'zzz']) {
      await page.$eval('#search', (input, value) => {
        input.value = value;
        input.dispatchEvent(new Event('input'));
      }, query);
      const seen = await page.evaluate(() => ({
        status: document.getElementById('status').textContent,
        keys: [...document.querySelectorAll('#results tr')].slice(1).map((tr) => {
          const [name, where] = tr.querySelectorAll('td');
          return name.textContent.endsWith('/') ? where.textContent : where.textContent + name.textContent;
        }).sort(),
      }));
      const expected = oracle(query);
      check.that(JSON.stringify(seen.keys) === JSON.stringify(expected), `search "${query}"`,
        { seen: seen.keys, expected });
      check.that(seen.status === (expected.length === 1 ? '1 resultado' : `${expected.length} resultados`),
        `"${query}" tells how many`, seen.status);
    }

    // Every folder's row: its totals, and its files' links, each opening its own file.
    await page.$eval('#search', (input) => {
      input.value = '';
      input.dispatchEvent(new Event('input'));
    });
    // The empty box says what it takes.
    const hint = await page.$eval('#search', (input) => input.matches(':placeholder-shown') && input.placeholder);
    check.that(hint === 'Buscar en todo el catálogo (admite * y ?)', 'the empty search box says what it takes', hint);
    const folders = await page.evaluate(async () => {
      const out = [];
      // Opens every folder of the tree, then clicks each one to list its files.
      for (let more = true; more;) {
        more = false;
        for (const toggle of document.querySelectorAll('#tree .toggle')) {
          if (toggle.textContent === '▸') {
            toggle.click();
            more = true;
          }
        }
      }
      for (const row of document.querySelectorAll('#tree .row')) {
        row.click();
        out.push({
          path: document.querySelector('#list h2').textContent,
          files: Number(row.dataset.files),
          bytes: Number(row.dataset.bytes),
          unreadable: row.querySelector('.unreadable') !== null,
          links: [...document.querySelectorAll('#files tr:not(.notentered) a')].map((a) => a.href),
          dates: [...document.querySelectorAll('#files tr:not(.notentered) td.date')]
            .map((td) => td.textContent),
          linked: [...document.querySelectorAll('#files tr.notentered a')]
            .map((a) => [a.textContent, a.href]),
        });
      }
      return out;
    });
    check.that(folders.length === totals.size, 'every folder is in the tree',
      folders.map((f) => f.path));
    for (const folder of folders) {
      const expected = totals.get(folder.path);
      check.that(expected && expected.files === folder.files && expected.bytes === folder.bytes,
        'the folder totals are the sums', { folder, expected });
      check.that(folder.unreadable === folder.path.endsWith('cerrada/'),
        'only the unreadable folder is marked', folder.path);
      // Links to folders are listed, not entered, and lead where their name does.
      check.that(JSON.stringify(folder.linked.map(([name]) => name).sort())
        === JSON.stringify((linked.get(folder.path) ?? []).sort()), 'the links to folders are listed',
      { folder, expected: linked.get(folder.path) });
      for (const [name, href] of folder.linked) {
        check.that(href === pathToFileURL(`${folder.path}${name}`).href, 'a link to a folder leads to it',
          { name, href });
      }
    }
    // A link's path as bytes in hex, as the maps above have it.
    const hexPath = (href) => {
      const path = new URL(href).pathname;
      const bytes = [];
      for (let i = 0; i < path.length; i += 1) {
        if (path[i] === '%') {
          bytes.push(parseInt(path.slice(i + 1, i + 3), 16));
          i += 2;
        } else {
          bytes.push(path.charCodeAt(i));
        }
      }
      return Buffer.from(bytes).toString('hex');
    };
    // Each file's time as the page's own date format shows it.
    for (const folder of folders) {
      for (const [k, href] of folder.links.entries()) {
        const expected = await page.evaluate((seconds) => new Intl.DateTimeFormat('es-ES',
          { dateStyle: 'short', timeStyle: 'short' }).format(new Date(seconds * 1000)),
        times.get(hexPath(href)));
        check.that(folder.dates[k] === expected, 'a file shows when it was modified',
          { href, shown: folder.dates[k], expected });
      }
    }
    const links = folders.flatMap((folder) => folder.links);
    check.that(links.length === contents.size - 1, 'a link for every readable file', links);
    for (const href of links) {
      const expected = contents.get(hexPath(href));
      let text;
      try {
        await page.goto(href);
        text = await page.evaluate(() => document.body.innerText);
      } catch (error) {
        text = String(error);
      }
      check.that(expected !== undefined && text.trim() === expected, 'the link opens its file',
        { href, text, expected });
    }
  });
} finally {
  chmodSync(join(top, 'cerrada'), 0o755);
  rmSync(scratch, { recursive: true, force: true });
}
check.finish('catalog');
