// The machine's Chromium, headless, in a profile of its own that is thrown away afterwards.
// puppeteer-core comes from the folder run.sh installed it into and never fetches a browser.
import { execFileSync } from 'node:child_process';
import { readFileSync } from 'node:fs';
import { mkdtemp, rm } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const modules = process.env.FOLIMBRA_BROWSER_MODULES;
if (!modules) throw new Error('FOLIMBRA_BROWSER_MODULES is not set: start the check with run.sh');
const puppeteer = createRequire(join(modules, 'package.json'))('puppeteer-core');

export const chromium = process.env.FOLIMBRA_CHROMIUM || '/usr/bin/chromium';

// Runs use(page) in a fresh browser (with the extra arguments given) and closes it whatever
// happens.
export async function withPage(use, extra = []) {
  const profile = await mkdtemp(join(tmpdir(), 'folimbra-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--disable-quic', `--user-data-dir=${profile}`, ...extra],
  });
  try {
    return await use(await browser.newPage());
  } finally {
    await browser.close();
    await rm(profile, { recursive: true, force: true });
  }
}

// Records in troubles whatever the tab runs into: script errors, dialogs (dismissed), and
// anything the page's policy refused, reported through the DevTools protocol, which that policy
// does not govern.
export async function watchTroubles(tab, troubles) {
  tab.on('pageerror', (error) => troubles.push(`script error: ${error.message}`));
  tab.on('console', (message) => {
    if (/Content Security Policy|Refused to/i.test(message.text())) troubles.push(message.text());
  });
  tab.on('dialog', async (dialog) => {
    troubles.push(`a ${dialog.type()} ran: ${dialog.message()}`);
    await dialog.dismiss();
  });
  await tab.evaluateOnNewDocument(() => {
    document.addEventListener('securitypolicyviolation', (event) => {
      console.log(`Refused to: ${event.violatedDirective} ${event.blockedURI}`);
    });
  });
}

// Every rule axe-core finds the tab's page breaking, as "impact id: where".
let axeSource = null;
export async function accessibilityViolations(tab) {
  axeSource ??= readFileSync(createRequire(join(modules, 'package.json')).resolve('axe-core/axe.min.js'), 'utf8');
  await tab.evaluate(axeSource);
  return tab.evaluate(async () => (await window.axe.run(document))
    .violations.map((v) => `${v.impact} ${v.id}: ${v.nodes.map((n) => n.target).join(' ')}`));
}

// Ends the check as skipped (77) where ffmpeg, which makes its media, is missing.
export function needFfmpeg() {
  try {
    execFileSync('ffmpeg', ['-version'], { stdio: 'ignore' });
  } catch {
    console.log('SKIP: ffmpeg is missing (scripts/packages.sh installs it)');
    process.exit(77);
  }
}

// Collects failures so that one run reports all of them; exits 1 if there was any.
export class Checks {
  failed = 0;
  that(holds, what, detail = '') {
    if (holds) return;
    this.failed += 1;
    console.log(`FAIL: ${what}${detail ? `: ${JSON.stringify(detail)}` : ''}`);
  }
  finish(name) {
    console.log(this.failed ? `${name}: ${this.failed} failed` : `${name}: all passed`);
    process.exitCode = this.failed ? 1 : 0;
  }
}

// What a person sees of the elements that match selector: those drawn, with a size, inside the
// page's scroll area, in reading order (top to bottom, then left to right), each with its text
// and its box in page coordinates. DOM state alone (the hidden attribute, the order of nodes)
// says nothing of what the style lets through.
export function drawn(tab, selector) {
  return tab.evaluate((wanted) => {
    const root = document.documentElement;
    const seen = [];
    for (const element of document.querySelectorAll(wanted)) {
      const box = element.getBoundingClientRect();
      const left = box.left + window.scrollX;
      const top = box.top + window.scrollY;
      // A fixed element has no offset parent even when it is drawn.
      if ((element.offsetParent === null && getComputedStyle(element).position !== 'fixed')
        || !element.checkVisibility({ opacityProperty: true, visibilityProperty: true })
        || box.width <= 0 || box.height <= 0 || left < 0 || top < 0
        || left + box.width > root.scrollWidth + 0.5 || top + box.height > root.scrollHeight + 0.5) {
        continue;
      }
      seen.push({ text: element.textContent, left, top, width: box.width, height: box.height });
    }
    return seen.sort((a, b) => a.top - b.top || a.left - b.left);
  }, selector);
}

// The two widths every drawn check runs at.
export const viewports = [{ name: 'wide', width: 1280, height: 800 },
  { name: 'phone', width: 360, height: 740 }];
