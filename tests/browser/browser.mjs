// The machine's Chromium, headless, in a profile of its own that is thrown away afterwards.
// puppeteer-core comes from the folder run.sh installed it into and never fetches a browser.
import { mkdtemp, rm } from 'node:fs/promises';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const modules = process.env.FOLIMBRA_BROWSER_MODULES;
if (!modules) throw new Error('FOLIMBRA_BROWSER_MODULES is not set: start the check with run.sh');
const puppeteer = createRequire(join(modules, 'package.json'))('puppeteer-core');

export const chromium = process.env.FOLIMBRA_CHROMIUM || '/usr/bin/chromium';

// Runs use(page) in a fresh browser and closes it whatever happens.
export async function withPage(use) {
  const profile = await mkdtemp(join(tmpdir(), 'folimbra-chromium-'));
  const browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--disable-quic', `--user-data-dir=${profile}`],
  });
  try {
    return await use(await browser.newPage());
  } finally {
    await browser.close();
    await rm(profile, { recursive: true, force: true });
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
