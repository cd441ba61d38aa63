// Names that could pass for others, as a browser shows them: a right-to-left override, a C1
// control and the rest show as "[U+XXXX]" marks, in the links' text, the alternative text, the
// title and the heading; a joiner stays itself; every link still opens its file.
// Usage: run.sh MODULES_DIR deceptive-names.mjs FOLIMBRA_INDEX
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { Checks, withPage } from './browser.mjs';

const index = process.argv[2];
const scratch = mkdtempSync(join(tmpdir(), 'folimbra-names-'));
const folder = join(scratch, 'carpeta\u202Eab');
mkdirSync(join(folder, 'sub\u2066x'), { recursive: true });
// Each file holds its own name, so that what a link opens tells which file it is.
const files = ['factura\u202Efdp.exe', 'nota\u0087.txt', 'foto\u202Egnp.jpg', 'a\u200Db.txt',
  'leeme.txt'];
for (const name of files) writeFileSync(join(folder, name), name);
execFileSync(index, ['--images', '-r', folder], { stdio: ['ignore', 'ignore', 'inherit'] });

const check = new Checks();
try {
  await withPage(async (page) => {
    await page.goto(pathToFileURL(join(folder, 'Quorvel-Html_index.html')).href);
    const seen = await page.evaluate(() => ({
      title: document.title,
      heading: document.querySelector('b').innerText,
      // The characters in the order they stand on the screen, left to right.
      onScreen: [...document.querySelectorAll('a')].map((a) => {
        const characters = [];
        const walker = document.createTreeWalker(a, NodeFilter.SHOW_TEXT);
        for (let node = walker.nextNode(); node; node = walker.nextNode()) {
          for (let i = 0; i < node.length; i += 1) {
            const range = document.createRange();
            range.setStart(node, i);
            range.setEnd(node, i + 1);
            const box = range.getBoundingClientRect();
            if (box.width > 0) characters.push({ x: box.left, c: node.data[i] });
          }
        }
        return characters.sort((a, b) => a.x - b.x).map(({ c }) => c).join('');
      }),
      links: [...document.querySelectorAll('a')].map((a) => ({ text: a.innerText, href: a.href })),
      alts: [...document.querySelectorAll('img')].map((img) => img.alt),
      marks: [...document.querySelectorAll('kbd')].map((kbd) => kbd.innerText),
      body: document.body.innerText,
    }));

    const shown = (name) => seen.links.find((link) => link.text.startsWith(name.slice(0, 4)));
    const exe = shown('factura');
    check.that(exe?.text === 'factura[U+202E]fdp.exe', 'the override shows as a mark', exe);
    check.that(!seen.body.includes('exe.pdf') && !seen.onScreen.some((t) => t.includes('exe.pdf')),
      'nothing reads "exe.pdf"', seen.onScreen);
    check.that(shown('nota')?.text === 'nota[U+0087].txt', 'the C1 control shows as a mark');
    check.that(!seen.body.includes('\u2021'), 'no C1 control shows as "\u2021"', seen.body);
    check.that(shown('a\u200Db')?.text === 'a\u200Db.txt', 'a joiner stays', shown('a\u200Db'));
    check.that(shown('sub')?.text === 'sub[U+2066]x/', 'a folder link shows the mark',
      shown('sub'));
    check.that(shown('leeme')?.text === 'leeme.txt', 'a plain name shows as it is');
    check.that(seen.marks.length > 0 && seen.marks.every((mark) => /^\[U\+[0-9A-F]{4}\]$/.test(mark)),
      'every mark is in its own element', seen.marks);
    check.that(/[\u0080-\u009F\u00AD\u200B\u200E\u200F\u202A-\u202E\u2060\u2066-\u2069\uFEFF]/
      .test(seen.body) === false, 'the page shows no invisible control', seen.body);
    check.that(seen.title.endsWith('/carpeta[U+202E]ab/'), 'the title shows the mark', seen.title);
    check.that(seen.heading.includes('/carpeta[U+202E]ab/ :: '), 'the heading shows the mark',
      seen.heading);
    check.that(seen.alts.some((alt) => alt.endsWith('/foto[U+202E]gnp.jpg')),
      'the alternative text shows the mark', seen.alts);

    // The links, resolved by the browser, are the files' very paths: each opens its own file.
    for (const name of files) {
      const link = seen.links.find((candidate) =>
        decodeURIComponent(new URL(candidate.href).pathname) === join(folder, name));
      check.that(link, 'a link leads to the file', name);
      if (link && name.endsWith('.txt')) {
        await page.goto(link.href);
        const text = await page.evaluate(() => document.body.innerText);
        check.that(text.trim() === name, 'the link opens the file', { name, text });
      }
    }
  });
} finally {
  rmSync(scratch, { recursive: true, force: true });
}
check.finish('deceptive-names');
