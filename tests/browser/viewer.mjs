// The picture viewer of --style modern in a real browser, at a wide screen's and a phone's size:
// what it draws (read back from screenshots), keys, swipes, buttons, the table's order and
// filter, its address and Back, focus, accessibility in both themes, hostile names, and a policy
// it never trips.
// Usage: run.sh MODULES_DIR viewer.mjs FOLIMBRA_INDEX
import { execFileSync } from 'node:child_process';
import { mkdirSync, mkdtempSync, rmSync, unlinkSync, utimesSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { pathToFileURL } from 'node:url';
import {
  accessibilityViolations, Checks, drawn, viewports, watchTroubles, withPage,
} from './browser.mjs';
import { png } from './pictures.mjs';

const index = process.argv[2];
const scratch = mkdtempSync(join(tmpdir(), 'folimbra-viewer-'));
const check = new Checks();
const same = (a, b) => JSON.stringify(a) === JSON.stringify(b);

// Each picture one colour (a darker band at its left edge), so a screenshot tells which is drawn.
const colours = { 'azul.png': [40, 80, 200], 'morado.png': [130, 50, 160], 'naranja.png': [230, 140, 30],
  'rojo.png': [200, 40, 40], 'verde.png': [40, 160, 60] };
const days = { 'azul.png': 4, 'morado.png': 9, 'naranja.png': 2, 'rojo.png': 7, 'verde.png': 5 };
const folder = join(scratch, 'Fotos');
const writePictures = () => {
  mkdirSync(join(folder, 'Discos'), { recursive: true });
  writeFileSync(join(folder, 'Discos', 'uno.ogg'), 'x');
  for (const [name, colour] of Object.entries(colours)) {
    writeFileSync(join(folder, name), png(800, 600, colour, 0));
    const when = new Date(2024, 5, days[name], 10);
    utimesSync(join(folder, name), when, when);
  }
  writeFileSync(join(folder, 'notas.txt'), 'notas');
  utimesSync(join(folder, 'notas.txt'), new Date(2024, 5, 8), new Date(2024, 5, 8));
};
writePictures();
const write = (dir, ...options) => execFileSync(index, ['--style', 'modern', ...options, dir],
  { stdio: ['ignore', 'ignore', 'inherit'] });
const pageOf = (dir) => pathToFileURL(join(dir, 'Quorvel-Html_index.html')).href;
const page = pageOf(folder);
const pause = (ms) => new Promise((resolve) => { setTimeout(resolve, ms); });

// Whatever the page runs into, and every address it asks for.
const troubles = [];
const requested = [];
const watch = async (tab) => {
  await watchTroubles(tab, troubles);
  tab.on('request', (request) => requested.push(request.url()));
};

// The colours a screenshot shows at the points given, read back by a blank page of its own.
const readers = new WeakMap();
const colourAt = async (tab, points) => {
  if (!readers.has(tab.browser())) readers.set(tab.browser(), await tab.browser().newPage());
  const reader = readers.get(tab.browser());
  // A tab behind another draws nothing.
  await tab.bringToFront();
  const shot = await tab.screenshot({ encoding: 'base64' });
  return reader.evaluate(async (data, where) => {
    const image = new Image();
    image.src = `data:image/png;base64,${data}`;
    await image.decode();
    const canvas = new OffscreenCanvas(image.width, image.height);
    const context = canvas.getContext('2d');
    context.drawImage(image, 0, 0);
    return where.map(([x, y]) => Array.from(context.getImageData(Math.round(x), Math.round(y), 1, 1).data.slice(0, 3)));
  }, shot, points);
};
const near = (seen, wanted) => seen.every((value, i) => Math.abs(value - wanted[i]) <= 16);
const whichColour = (seen) => Object.keys(colours).find((name) => near(seen, colours[name])) ?? JSON.stringify(seen);

// What the open viewer draws: the dialog over the whole window, the picture at its middle (told
// by its colour), the texts of its bar, and how sharp the picture drawn is.
const viewed = async (tab) => {
  await tab.waitForFunction(() => {
    const img = document.querySelector('dialog img');
    return !img || !img.src || img.complete;
  });
  const [dialog] = await drawn(tab, 'dialog');
  if (!dialog) return { open: false, texts: [] };
  const [frame] = await drawn(tab, 'dialog img');
  const [middle, corner] = await colourAt(tab, [[frame.left + frame.width / 2, frame.top + frame.height / 2],
    [frame.left + 2, frame.top + 2]]);
  const texts = (await drawn(tab, 'dialog h2, dialog p span, dialog button')).map((element) => element.text);
  const state = await tab.evaluate(() => {
    const img = document.querySelector('dialog img');
    return { width: img.naturalWidth, source: img.currentSrc, hash: window.location.hash,
      focus: document.activeElement.closest('dialog') ? document.activeElement.textContent : null,
      label: document.getElementById(document.querySelector('dialog').getAttribute('aria-labelledby'))?.textContent };
  });
  const view = await tab.evaluate(() => [window.innerWidth, window.innerHeight]);
  return { open: true, covers: dialog.width === view[0] && dialog.height === view[1], picture: whichColour(middle),
    corner, texts, ...state };
};
const waitOpen = (tab) => tab.waitForFunction(() => document.querySelector('dialog')?.open, { timeout: 10000 })
  .catch(() => {});
const waitClosed = (tab) => tab.waitForFunction(() => !document.querySelector('dialog')?.open);
const waitAddress = (tab, hash) => tab.waitForFunction((wanted) => window.location.hash === wanted, { timeout: 10000 }, hash)
  .then(() => true, () => false);
// The focused element, as the link of the row it is in.
const focusedLink = (tab) => tab.evaluate(() => {
  const active = document.activeElement;
  return active?.localName === 'a' ? active.textContent : active?.outerHTML.slice(0, 80) ?? null;
});
const dateOf = (name) => `${days[name]}/6/24 10:00`;

try {
  await withPage(async (tab) => {
    await watch(tab);
    for (const view of viewports) {
      const where = `(${view.name})`;
      await tab.setViewport({ ...view, hasTouch: true });
      write(folder, '--thumbnails', '-r');
      requested.length = 0;
      await tab.goto(page);
      const order = (await drawn(tab, 'tbody td:first-child')).map((cell) => cell.text)
        .filter((name) => name in colours);
      check.that(same(order, Object.keys(colours)), `the pictures in the listing's order ${where}`, order);

      // A thumbnail's click opens its picture over the whole window, with its name, date and place.
      await tab.click('tbody tr:nth-child(3) img');
      let seen = await viewed(tab);
      check.that(seen.open && seen.covers, `the viewer covers the window ${where}`, seen);
      check.that(seen.picture === 'morado.png' && seen.texts.includes('morado.png')
        && seen.texts.includes(dateOf('morado.png')) && seen.texts.includes('2 / 5'),
      `the clicked picture, its name, date and place ${where}`, seen);
      check.that(same(seen.texts.filter((text) => /^[A-Z]/.test(text)), ['Anterior', 'Siguiente', 'Cerrar']),
        `the buttons, in Spanish ${where}`, seen.texts);
      check.that(!near(seen.corner, colours['morado.png']), `the picture is fitted, not stretched ${where}`, seen.corner);
      check.that(seen.label === 'morado.png', `the dialog is labelled by the name ${where}`, seen.label);
      check.that(await waitAddress(tab, '#ver=morado.png'), `the address names the picture ${where}`,
        await tab.evaluate(() => window.location.hash));
      // The image itself replaces the thumbnail once it has come.
      await tab.waitForFunction(() => document.querySelector('dialog img').naturalWidth === 800, { timeout: 5000 })
        .catch(() => {});
      seen = await viewed(tab);
      check.that(seen.width === 800 && seen.source.endsWith('/morado.png'), `the full image follows ${where}`, seen);
      // Its neighbours are fetched before they are asked for.
      const fetched = (name) => requested.some((url) => url.endsWith(`/${name}`));
      check.that(fetched('azul.png') && fetched('naranja.png') && !fetched('verde.png'),
        `the neighbours are loaded ahead, no more ${where}`, requested.filter((url) => url.endsWith('.png') && !url.includes('thumbnails')));

      // Keys: arrows step, Home and End jump, and the ends hold.
      const steps = [['ArrowRight', 'naranja.png', '3 / 5'], ['ArrowRight', 'rojo.png', '4 / 5'],
        ['ArrowLeft', 'naranja.png', '3 / 5'], ['End', 'verde.png', '5 / 5'], ['ArrowRight', 'verde.png', '5 / 5'],
        ['Home', 'azul.png', '1 / 5'], ['ArrowLeft', 'azul.png', '1 / 5']];
      for (const [key, name, position] of steps) {
        await tab.keyboard.press(key);
        seen = await viewed(tab);
        check.that(seen.picture === name && seen.texts.includes(name) && seen.texts.includes(position),
          `${key} shows ${name} at ${position} ${where}`, seen);
      }
      check.that(await waitAddress(tab, '#ver=azul.png'), `the address follows the picture ${where}`);
      const disabled = await tab.evaluate(() => [...document.querySelectorAll('dialog button')].map((b) => b.disabled));
      check.that(same(disabled, [true, false, false]), `no Anterior at the first ${where}`, disabled);

      // Swipes: to the left for the next, to the right for the previous; a vertical drag is no swipe.
      const swipe = async (from, to) => {
        const y = view.height / 2;
        const touch = await tab.touchscreen.touchStart(from[0], from[1] ?? y);
        for (let s = 1; s <= 4; s += 1) {
          await touch.move(from[0] + ((to[0] - from[0]) * s) / 4, (from[1] ?? y) + (((to[1] ?? y) - (from[1] ?? y)) * s) / 4);
        }
        await touch.end();
      };
      const swipes = [[[view.width * 0.8], [view.width * 0.2], 'morado.png'], [[view.width * 0.8], [view.width * 0.2], 'naranja.png'],
        [[view.width * 0.2], [view.width * 0.8], 'morado.png'], [[view.width / 2, 150], [view.width / 2 + 10, 450], 'morado.png']];
      for (const [from, to, name] of swipes) {
        await swipe(from, to);
        seen = await viewed(tab);
        check.that(seen.open && seen.picture === name, `a swipe from ${from} to ${to} shows ${name} ${where}`, seen);
      }
      // The buttons, by mouse.
      await tab.click('dialog button:nth-of-type(2)');
      seen = await viewed(tab);
      check.that(seen.picture === 'naranja.png', `Siguiente ${where}`, seen.picture);
      await tab.click('dialog button:nth-of-type(1)');
      seen = await viewed(tab);
      check.that(seen.picture === 'morado.png', `Anterior ${where}`, seen.picture);

      // The focus stays in the dialog, forwards and backwards.
      const focused = [];
      for (const shift of [false, true]) {
        if (shift) await tab.keyboard.down('Shift');
        for (let i = 0; i < 5; i += 1) {
          await tab.keyboard.press('Tab');
          focused.push((await viewed(tab)).focus);
        }
        if (shift) await tab.keyboard.up('Shift');
      }
      check.that(focused.every((text) => ['Anterior', 'Siguiente', 'Cerrar'].includes(text))
        && new Set(focused).size === 3, `Tab keeps to the dialog's buttons ${where}`, focused);

      // The screen reader's view: a modal dialog named by the picture.
      const tree = await tab.accessibility.snapshot();
      const find = (node) => (node.role === 'dialog' ? node : (node.children ?? []).map(find).find(Boolean));
      const dialogNode = find(tree);
      check.that(dialogNode?.name === 'morado.png' && dialogNode.modal === true, `a modal dialog named by the picture ${where}`,
        dialogNode && { name: dialogNode.name, modal: dialogNode.modal });

      // Escape closes: the page is drawn again, the address is the page's, the focus on the link.
      await tab.keyboard.press('Escape');
      await waitClosed(tab);
      seen = await viewed(tab);
      check.that(!seen.open, `Escape closes ${where}`, seen);
      check.that(await waitAddress(tab, ''), `closed, the address is the page's ${where}`);
      check.that(await focusedLink(tab) === 'morado.png', `the focus back on the picture's link ${where}`, await focusedLink(tab));
      const rows = await drawn(tab, 'tbody tr');
      check.that(rows.length === 7, `the table drawn again ${where}`, rows.length);

      // A click around the picture closes; one on it does not.
      await tab.click('tbody tr:nth-child(6) img');
      seen = await viewed(tab);
      check.that(seen.picture === 'rojo.png', `the fifth row opens rojo.png ${where}`, seen.picture);
      const [frame] = await drawn(tab, 'dialog img');
      await tab.mouse.click(frame.left + frame.width / 2, frame.top + frame.height / 2);
      seen = await viewed(tab);
      check.that(seen.open, `a click on the picture keeps it ${where}`, seen);
      check.that(!near(seen.corner, colours['rojo.png']), `the corner is outside the picture ${where}`, seen.corner);
      await tab.mouse.click(frame.left + 2, frame.top + 2);
      await waitClosed(tab);
      check.that(!(await viewed(tab)).open, `a click outside closes ${where}`);
      check.that(await focusedLink(tab) === 'rojo.png', `the focus back after a click outside ${where}`, await focusedLink(tab));

      // By keyboard alone: Tab to a picture's link, Enter, Escape.
      await tab.goto(page);
      let tabs = 0;
      while (tabs < 40 && await focusedLink(tab) !== 'azul.png') {
        await tab.keyboard.press('Tab');
        tabs += 1;
      }
      await tab.keyboard.press('Enter');
      seen = await viewed(tab);
      check.that(seen.open && seen.picture === 'azul.png' && seen.focus !== null, `Enter on a link opens it ${where}`, seen);
      await tab.keyboard.press('Escape');
      await waitClosed(tab);
      check.that(await focusedLink(tab) === 'azul.png', `the focus back after Enter and Escape ${where}`, await focusedLink(tab));
      await Promise.all([tab.waitForNavigation({ timeout: 5000 }), tab.click('a[href="notas.txt"]')]).catch(() => {});
      check.that(tab.url().endsWith('/notas.txt'), `another file's link opens the file ${where}`, tab.url());

      // Back closes a viewer that a click opened; Forward opens it again.
      await tab.goto(page);
      await tab.click('tbody tr:nth-child(2) img');
      await waitAddress(tab, '#ver=azul.png');
      await tab.goBack();
      await waitClosed(tab);
      check.that(!(await viewed(tab)).open && tab.url() === page, `Back closes the viewer ${where}`, tab.url());
      await tab.goForward();
      await waitAddress(tab, '#ver=azul.png');
      await waitOpen(tab);
      seen = await viewed(tab);
      check.that(seen.open && seen.picture === 'azul.png', `Forward opens it again ${where}`,
        { ...seen, url: tab.url(), entries: await tab.evaluate(() => window.history.length) });
      // Back then Forward at once: the dialog is open again before its close event arrives.
      await tab.evaluate(() => {
        const dialog = document.querySelector('dialog');
        dialog.close();
        dialog.showModal();
      });
      await new Promise((resolve) => setTimeout(resolve, 300));
      seen = await viewed(tab);
      check.that(seen.open && seen.picture === 'azul.png' && tab.url().endsWith('#ver=azul.png'),
        `a viewer open again stays open ${where}`, { ...seen, url: tab.url() });

      // An address with the fragment opens the viewer over its page; Back leaves the page.
      await tab.goto('about:blank');
      await tab.goto(`${page}#ver=verde.png`);
      await waitOpen(tab);
      seen = await viewed(tab);
      check.that(seen.open && seen.picture === 'verde.png' && seen.texts.includes('5 / 5'),
        `the fragment opens the viewer ${where}`, seen);
      await tab.goBack();
      await waitClosed(tab);
      check.that(!(await viewed(tab)).open && tab.url() === page, `Back from a linked viewer to its page ${where}`, tab.url());
      check.that((await drawn(tab, 'tbody tr')).length === 7, `the page under it ${where}`);
      await tab.goBack();
      check.that(tab.url() === 'about:blank', `and Back again leaves the page ${where}`, tab.url());

      // The table's order and filter: newest first, only the names with an "a".
      await tab.goto(page);
      await tab.click('th:nth-child(2) button');
      await tab.type('#q', 'a');
      const wanted = (await drawn(tab, 'tbody td:first-child')).map((cell) => cell.text).filter((name) => name in colours);
      check.that(same(wanted, ['morado.png', 'azul.png', 'naranja.png']), `newest first, with an "a" ${where}`, wanted);
      await tab.click('tbody tr:not([hidden]) img');
      const went = [];
      for (let i = 0; i < wanted.length; i += 1) {
        seen = await viewed(tab);
        went.push([seen.picture, seen.texts.find((text) => text.includes(' / '))]);
        await tab.keyboard.press('ArrowRight');
      }
      check.that(same(went, wanted.map((name, i) => [name, `${i + 1} / ${wanted.length}`])),
        `the viewer follows the sort and the filter ${where}`, went);
      await tab.keyboard.press('Escape');
      await waitClosed(tab);

      // Where the image is gone, the 512 thumbnail stands in for it, at once and after.
      unlinkSync(join(folder, 'verde.png'));
      await tab.setCacheEnabled(false);
      await tab.goto(page);
      await tab.click('tbody tr:nth-child(7) img');
      await pause(300);
      seen = await viewed(tab);
      check.that(seen.picture === 'verde.png' && seen.width === 512 && seen.source.includes('/.sh_thumbnails/x-large/'),
        `the 512 thumbnail at once ${where}`, seen);
      await tab.keyboard.press('Escape');
      await tab.setCacheEnabled(true);
      writePictures();

      // Without pictures on the page, an image's link opens the viewer all the same.
      write(folder);
      await tab.goto(page);
      check.that((await drawn(tab, 'tbody img')).length === 0, `no pictures on the page ${where}`);
      await tab.click('a[href="rojo.png"]');
      seen = await viewed(tab);
      check.that(seen.open && seen.picture === 'rojo.png' && seen.width === 800 && seen.texts.includes('4 / 5'),
        `a plain link to an image opens it ${where}`, seen);
      await tab.keyboard.press('Escape');
      await waitClosed(tab);

      // Accessibility with the viewer open, in both themes.
      for (const scheme of ['light', 'dark']) {
        await tab.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: scheme }]);
        await tab.goto(`${page}#ver=naranja.png`);
        await viewed(tab);
        const violations = await accessibilityViolations(tab);
        check.that(violations.length === 0, `no accessibility violation, viewer open (${scheme}, ${view.name})`, violations);
      }
      await tab.emulateMediaFeatures([{ name: 'prefers-color-scheme', value: 'light' }]);
    }

    // With scripts off the page is a list of links to the bare files, whatever the address says.
    write(folder, '--thumbnails');
    await tab.setJavaScriptEnabled(false);
    await tab.goto('about:blank');
    await tab.goto(`${page}#ver=rojo.png`);
    const listed = (await drawn(tab, 'tbody td:first-child')).map((cell) => cell.text);
    check.that(listed.length === 6 && (await drawn(tab, 'dialog')).length === 0, 'without script, the list and no viewer', listed);
    await Promise.all([tab.waitForNavigation(), tab.click('a[href="rojo.png"] img')]);
    check.that(tab.url() === pathToFileURL(join(folder, 'rojo.png')).href, 'without script, the picture opens the image', tab.url());
    await tab.setJavaScriptEnabled(true);
  });

  // Hostile names, in a folder whose path holds "</script>": each shows as text in the viewer,
  // and each opens from its address.
  const hostile = join(scratch, 'raros<', 'script>');
  mkdirSync(hostile, { recursive: true });
  const names = ['"><img src=x onerror=alert(1)>.png', 'factura\u202Egnp.png', '<script>alert(2)<\\script>.png',
    '50% #1?.png'];
  names.forEach((name, i) => writeFileSync(join(hostile, name), png(320, 240, Object.values(colours)[i], 0)));
  write(hostile, '--thumbnails');
  await withPage(async (tab) => {
    await watch(tab);
    for (const view of viewports) {
      await tab.setViewport(view);
      await tab.goto(pageOf(hostile));
      const heading = await tab.$eval('h1', (h1) => h1.textContent);
      check.that(heading.endsWith('raros</script>/'), `the folder's path as text (${view.name})`, heading);
      const shown = (await drawn(tab, 'tbody td:first-child')).map((cell) => cell.text);
      check.that(shown.length === names.length, `every hostile name listed (${view.name})`, shown);
      for (const name of shown) {
        await tab.goto(pageOf(hostile));
        await tab.evaluate((text) => [...document.querySelectorAll('tbody a')]
          .find((a) => a.textContent === text).click(), name);
        const seen = await viewed(tab);
        const inside = await tab.evaluate(() => document.querySelector('dialog').querySelectorAll('img').length);
        check.that(seen.open && seen.texts.includes(name) && seen.label === name && inside === 1,
          `the name as text in the viewer (${view.name})`, { name, seen, inside });
        const address = await tab.evaluate(() => window.location.hash);
        await tab.goto('about:blank');
        await tab.goto(pageOf(hostile) + address);
        const again = await viewed(tab);
        check.that(again.open && again.label === name, `the address opens the same picture (${view.name})`,
          { name, address, label: again.label });
      }
      const marked = shown.find((name) => name.startsWith('factura'));
      check.that(marked === 'factura[U+202E]gnp.png', 'the override shows as its mark', marked);
    }
  });
} finally {
  rmSync(scratch, { recursive: true, force: true });
}
check.that(troubles.length === 0, 'no script error, nothing refused, nothing run', troubles);
check.finish('viewer');
