// The page of --style modern in a real browser: headers sort as the listing does, the filter
// folds accents, the grid switch, a phone's width, the dark theme, accessibility in both themes,
// links to hostile names, and a policy that runs nothing the page did not bring.
// Usage: run.sh MODULES_DIR modern-page.mjs FOLIMBRA_INDEX
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, readFileSync, rmSync, utimesSync, writeFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import { Checks, drawn, viewports, withPage } from './browser.mjs';

const index = process.argv[2];
const axeSource = readFileSync(createRequire(join(process.env.FOLIMBRA_BROWSER_MODULES,
  'package.json')).resolve('axe-core/axe.min.js'), 'utf8');
const scratch = mkdtempSync(join(tmpdir(), 'folimbra-modern-'));
const check = new Checks();

// Sizes and dates with ties, so that the order within a tie counts too.
const folder = join(scratch, 'Música y fotos');
mkdirSync(join(folder, 'Discos'), { recursive: true });
const everyday = [['Canción del verano.mp3', 3487211, 5], ['cancion2.mp3', 1000, 5],
  ['IMG_2.jpg', 2048, 9], ['IMG_10.jpg', 2048, 1], ['árbol.png', 999, 3], ['Zeta.txt', 0, 7],
  ['beta.txt', 1, 7], ['Acta.odt', 21504, 2], ['copia.zip', 15728640, 4], ['video.mkv', 2048, 8],
  ['viejo.txt', 5, new Date(2003, 2, 1, 9, 5, 7)]];
// How each file's date reads on the page, with script and without.
const shownDates = {};
for (const [name, size, day] of everyday) {
  const when = day instanceof Date ? day : new Date(2024, 5, day, 10);
  writeFileSync(join(folder, name), Buffer.alloc(size));
  utimesSync(join(folder, name), when, when);
  shownDates[name] = day instanceof Date ? ['1/3/03 9:05', '"2003-03-01T09:05:07"']
    : [`${day}/6/24 10:00`, `"2024-06-${String(day).padStart(2, '0')}T10:00:00"`];
}
const dates = () => [...document.querySelectorAll('tbody tr:not(.d)')].map((row) => [
  row.cells[0].textContent, row.cells[1].textContent,
  getComputedStyle(row.querySelector('time'), '::before').content]);
const datesRead = (seen, script) => seen.every(([name, text, before]) =>
  (script ? text === shownDates[name][0] && before === 'none'
    : text === '' && before === shownDates[name][1]));
writeFileSync(join(folder, 'Discos', 'uno.ogg'), 'x');
const page = pathToFileURL(join(folder, 'Quorvel-Html_index.html')).href;
const write = (...options) => execFileSync(index, ['--style', 'modern', ...options, folder],
  { stdio: ['ignore', 'ignore', 'inherit'] });
const names = () => [...document.querySelectorAll('tbody tr:not(.d) td:first-child')]
  .map((cell) => cell.textContent);
// The names on screen, in the order they are drawn.
const drawnNames = async (tab, rows = 'tbody tr') =>
  (await drawn(tab, `${rows} td:first-child`)).map((cell) => cell.text);
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

try {
  await withPage(async (tab) => {
    // The listing's own orders, as the program writes them.
    const written = {};
    for (const sort of ['name', 'date', 'size']) {
      for (const reverse of [false, true]) {
        write('--sort', sort, ...(reverse ? ['--reverse'] : []));
        await tab.goto(page);
        written[sort + (reverse ? '-r' : '')] = await tab.evaluate(names);
      }
    }
    check.that(written.name.length === everyday.length, 'every file is listed', written.name);
    const spanish = await tab.evaluate(dates);
    check.that(datesRead(spanish, true), 'dates read in Spanish', spanish);

    // From a page in each order, each header sorts as the listing does; a second click reverses.
    const headers = [['name', 0, 'ascending'], ['date', 1, 'descending'], ['size', 2, 'descending']];
    const flip = (direction) => (direction === 'ascending' ? 'descending' : 'ascending');
    for (const start of ['name', 'date', 'size-r']) {
      write('--images', '--sort', start.replace('-r', ''), ...(start.endsWith('-r') ? ['--reverse'] : []));
      for (const view of viewports) {
        await tab.setViewport(view);
        await tab.goto(page);
        const asWritten = await drawnNames(tab);
        check.that(same(asWritten, written[start]), `${start} is drawn as written (${view.name})`, asWritten);
        for (const [sort, column, first] of headers) {
          await tab.goto(page);
          const head = `th:nth-child(${column + 1})`;
          const initial = await tab.$eval(head, (th) => th.getAttribute('aria-sort'));
          let direction = initial ? flip(initial) : first;
          for (let click = 0; click < 2; click += 1) {
            await tab.click(`${head} button`);
            const key = sort + (direction === first ? '' : '-r');
            const seen = await drawnNames(tab);
            check.that(same(seen, written[key]), `from ${start}, ${key} is drawn as the listing (${view.name})`,
              { seen, listing: written[key] });
            const aria = await tab.$eval(head, (th) => th.getAttribute('aria-sort'));
            check.that(aria === direction, `aria-sort of ${key}`, aria);
            direction = flip(direction);
          }
        }
      }
      const folderFirst = await tab.$eval('tbody tr', (row) => row.classList.contains('d'));
      check.that(!folderFirst, 'without --recursive no folder row');
    }

    // The filter: accents and case folded, the count of files shown, in the list and the grid,
    // and the rows it leaves out are gone from the screen, not only marked.
    write('--images', '-r');
    const everything = ['Discos/', ...written.name];
    const cancion = ['Canción del verano.mp3', 'cancion2.mp3'];
    for (const view of viewports) {
      await tab.setViewport(view);
      for (const mode of ['list', 'grid']) {
        await tab.goto(page);
        if (mode === 'grid') await tab.click('#g');
        await tab.type('#q', 'cancion');
        const shown = await drawnNames(tab);
        check.that(same(shown, cancion), `the filter folds accents and case (${view.name}, ${mode})`, shown);
        const count = await tab.$eval('#n', (n) => n.textContent);
        check.that(count === `2 de ${everyday.length} archivos`, 'the filter counts', count);
        await tab.click('#q', { clickCount: 3 });
        await tab.keyboard.press('Backspace');
        const all = await drawnNames(tab);
        check.that(same(all, everything), `an empty filter shows every row (${view.name}, ${mode})`, all);
      }
    }
    await tab.setViewport(viewports[0]);
    await tab.goto(page);

    // With --recursive the folder comes first, with what it weighs, and its page has a trail.
    const firstRow = await tab.$eval('tbody tr', (row) => ({ folder: row.classList.contains('d'),
      text: row.cells[0].textContent, size: row.cells[2].title }));
    check.that(firstRow.folder && firstRow.text === 'Discos/' && firstRow.size === '1', 'the folder first', firstRow);
    await Promise.all([tab.waitForNavigation(), tab.click('tbody tr.d a')]);
    const trail = await tab.evaluate(() => [...document.querySelectorAll('nav a')].map((a) => [a.textContent, a.href]));
    check.that(trail.length === 1 && trail[0][0] === 'Música y fotos' && trail[0][1] === page,
      'the trail leads to the page above', trail);
    await tab.goto(page);

    // The grid switch: cards side by side in columns on a wide screen, one under the other on a
    // phone, none overlapping another, each image's picture drawn.
    for (const view of viewports) {
      await tab.setViewport(view);
      await tab.goto(page);
      const listColumns = new Set((await drawn(tab, 'tbody tr')).map((row) => row.left)).size;
      await tab.click('#g');
      const pressed = await tab.$eval('#g', (g) => g.getAttribute('aria-pressed'));
      check.that(pressed === 'true', 'the grid switch is pressed', pressed);
      const cards = await drawn(tab, 'tbody tr');
      const columns = new Set(cards.map((card) => card.left)).size;
      const wanted = view.name === 'phone' ? 1 : 4;
      check.that(listColumns === 1 && (view.name === 'phone' ? columns === 1 : columns >= wanted),
        `the grid's columns (${view.name})`, { listColumns, columns });
      check.that(cards.length === everything.length, `every card drawn (${view.name})`, cards.length);
      const overlap = cards.some((a, i) => cards.some((b, j) => i < j && a.left < b.left + b.width
        && b.left < a.left + a.width && a.top < b.top + b.height && b.top < a.top + a.height));
      check.that(!overlap, `no card over another (${view.name})`, cards);
      const pictures = await drawn(tab, 'td img');
      check.that(pictures.length === 3 && pictures.every((p) => p.width >= 100),
        `a picture drawn for each image (${view.name})`, pictures);
      const grid = await drawnNames(tab);
      check.that(same(grid, everything), `the grid in the listing's order (${view.name})`, grid);
    }
    await tab.setViewport(viewports[0]);
    await tab.goto(page);

    // A phone's width: nothing scrolls sideways, in the list and in the grid.
    await tab.setViewport({ width: 360, height: 740 });
    for (const mode of ['list', 'grid']) {
      const wide = await tab.evaluate(() => document.documentElement.scrollWidth);
      check.that(wide <= 360, `no sideways scroll at 360 px (${mode})`, wide);
      await tab.click('#g');
    }
    await tab.setViewport({ width: 1000, height: 800 });

    // Themes from the system, and accessibility in both.
    for (const scheme of ['light', 'dark']) {
      await tab.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: scheme }]);
      await tab.goto(page);
      const background = await tab.evaluate(() => getComputedStyle(document.body).backgroundColor);
      check.that(background === (scheme === 'dark' ? 'rgb(21, 23, 26)' : 'rgb(255, 255, 255)'),
        `the ${scheme} theme applies`, background);
      // Through the DevTools protocol, which the page's policy does not govern.
      await tab.evaluate(axeSource);
      const violations = await tab.evaluate(async () => (await window.axe.run(document))
        .violations.filter((v) => v.impact === 'serious' || v.impact === 'critical')
        .map((v) => `${v.id}: ${v.nodes.length}`));
      check.that(violations.length === 0, `no serious accessibility violation (${scheme})`, violations);
    }

    // The policy: the page's own style and script run; an injected script does not.
    await tab.goto(page);
    const policy = await tab.evaluate(async () => {
      const blocked = [];
      document.addEventListener('securitypolicyviolation', (e) => blocked.push(e.violatedDirective));
      const script = document.createElement('script');
      script.textContent = 'window.injected = true';
      document.body.append(script);
      const img = document.createElement('img');
      img.setAttribute('onerror', 'window.handled = true');
      img.src = 'nada.png';
      document.body.append(img);
      await new Promise((resolve) => setTimeout(resolve, 300));
      return { injected: window.injected === true, handled: window.handled === true, blocked,
        ownScript: !document.getElementById('b').hidden,
        ownStyle: getComputedStyle(document.querySelector('tbody tr')).display };
    });
    check.that(!policy.injected && !policy.handled, 'injected scripts do not run', policy);
    check.that(policy.blocked.some((d) => d.startsWith('script-src')), 'the policy reports them', policy.blocked);
    check.that(policy.ownScript && policy.ownStyle === 'flex', 'the own script and style run', policy);

    // Without script the whole list shows in the written order.
    await tab.setJavaScriptEnabled(false);
    await tab.goto(page);
    const still = await drawnNames(tab);
    check.that(same(still, ['Discos/', ...written.name]), 'without script, the list as written', still);
    const bar = await drawn(tab, '#b, #q');
    check.that(bar.length === 0, 'without script, no filter that cannot filter', bar);
    const plain = await tab.evaluate(dates);
    check.that(datesRead(plain, false), 'without script, the dates as written', plain);
    await tab.setJavaScriptEnabled(true);
  });

  // Many rows come in several bodies: a sort settles into the listing's order in all of them,
  // and the filter counts across them.
  const many = join(scratch, 'muchos');
  mkdirSync(many);
  for (let i = 0; i < 700; i += 1) {
    const name = join(many, `f${(i * 7919) % 700}${i % 3 ? 'x' : 'ü'}.txt`);
    writeFileSync(name, Buffer.alloc(i % 50));
    utimesSync(name, new Date(2024, 0, 1 + (i % 20)), new Date(2024, 0, 1 + (i % 20)));
  }
  await withPage(async (tab) => {
    const manyPage = pathToFileURL(join(many, 'Quorvel-Html_index.html')).href;
    const listed = {};
    for (const sort of ['size', 'date']) {
      execFileSync(index, ['--style', 'modern', '--sort', sort, many], { stdio: 'ignore' });
      await tab.goto(manyPage);
      listed[sort] = await tab.evaluate(names);
    }
    const bodies = await tab.evaluate(() => document.getElementById('t').tBodies.length);
    check.that(bodies === 3, 'rows in bodies of 256', bodies);
    await tab.setViewport({ width: 1000, height: 300 });
    await tab.click('th:nth-child(3) button');
    await tab.click('th:nth-child(3) button');
    await tab.click('th:nth-child(3) button');
    await tab.waitForFunction(() => !document.getElementById('t').hasAttribute('aria-busy'));
    const bySize = await tab.evaluate(names);
    check.that(JSON.stringify(bySize) === JSON.stringify(listed.size), 'many rows sort by size',
      { seen: bySize.slice(0, 20), listing: listed.size.slice(0, 20) });
    await tab.type('#q', 'u');
    const count = await tab.$eval('#n', (n) => n.textContent);
    check.that(count === '234 de 700 archivos', 'the filter counts in every body', count);
    await tab.click('th:nth-child(2) button');
    await tab.waitForFunction(() => !document.getElementById('t').hasAttribute('aria-busy'));
    const byDate = await drawnNames(tab);
    const wanted = listed.date.filter((name) => name.includes('ü'));
    check.that(JSON.stringify(byDate) === JSON.stringify(wanted), 'filtered rows sort by date',
      { seen: byDate.slice(0, 20), listing: wanted.slice(0, 20) });
  });

  // Hostile names: each link opens its own file, each name shows as text with its marks.
  const hostile = Buffer.from(join(scratch, 'raros'));
  mkdirSync(hostile);
  const rawNames = [Buffer.from('ctl\x01\x1b.txt'), Buffer.from('50% #1?.txt'),
    Buffer.from('  blancos  .txt'), Buffer.concat([Buffer.from('caf'), Buffer.from([0xe9]), Buffer.from('.txt')]),
    Buffer.from('factura\u202Efdp.txt'), Buffer.from('<b>&amp;"\'.txt'), Buffer.from('javascript:alert(1).txt')];
  for (const raw of rawNames) writeFileSync(Buffer.concat([hostile, Buffer.from('/'), raw]), raw);
  execFileSync(index, ['--style', 'modern', hostile.toString()], { stdio: ['ignore', 'ignore', 'inherit'] });
  await withPage(async (tab) => {
    const hostilePage = pathToFileURL(join(hostile.toString(), 'Quorvel-Html_index.html')).href;
    await tab.goto(hostilePage);
    const links = await tab.evaluate(() => [...document.querySelectorAll('tbody a')]
      .map((a) => ({ text: a.textContent, href: a.href, elements: a.querySelectorAll('*').length,
        marks: [...a.querySelectorAll('kbd')].map((k) => k.textContent) })));
    check.that(links.length === rawNames.length, 'every hostile name listed', links);
    const exe = links.find((link) => link.text.startsWith('factura'));
    check.that(exe?.text === 'factura[U+202E]fdp.txt' && exe.marks.length === 1, 'the override shows as a mark', exe);
    check.that(links.some((link) => link.text === '<b>&amp;"\'.txt' && link.elements === 0),
      'markup in a name stays text', links);
    for (const raw of rawNames) {
      const link = links.find((candidate) =>
        Buffer.from(new URL(candidate.href).pathname.replace(/%([0-9A-F]{2})/gi,
          (m, h) => String.fromCharCode(parseInt(h, 16))), 'latin1').equals(Buffer.concat([hostile, Buffer.from('/'), raw])));
      check.that(link, 'a link leads to the file', raw.toString('latin1'));
      if (link) {
        await tab.goto(link.href);
        const body = await tab.evaluate(() => document.body.innerText);
        check.that(body.includes(raw.toString('latin1').slice(0, 3)), 'the link opens the file',
          { name: raw.toString('latin1'), body });
        await tab.goto(hostilePage);
      }
    }
  });
} finally {
  rmSync(scratch, { recursive: true, force: true });
}
check.finish('modern-page');
