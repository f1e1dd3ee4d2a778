// The Debian chromium, headless, driven by playwright-core (never a browser
// playwright downloads), for the harnesses that play files in it.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { chromium } from 'playwright-core';

const kChromium = process.env.MX_CHROMIUM || '/usr/bin/chromium';
const kArgs = [
  '--headless',
  '--no-sandbox',
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--autoplay-policy=no-user-gesture-required',
];

// Opens `base` + "/" in a fresh headless chromium profile, runs `work(page)`
// and closes the browser and removes the profile whatever happens.
export async function withPage(base, work) {
  const profile = mkdtempSync(join(tmpdir(), 'mx-chromium-'));
  let context;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: kChromium,
      headless: true,
      args: kArgs,
    });
    const page = context.pages()[0] || (await context.newPage());
    await page.goto(`${base}/`);
    return await work(page);
  } finally {
    if (context) await context.close();
    rmSync(profile, { recursive: true, force: true });
  }
}
