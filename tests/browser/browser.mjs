// What the browser harnesses share: the Debian chromium, headless, driven by
// playwright-core (never a browser playwright downloads), the media types the
// local server answers with, and its reading of Range headers.
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { extname, join } from 'node:path';
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
const kTypes = {
  '.mp4': 'video/mp4',
  '.m4v': 'video/mp4',
  '.mov': 'video/quicktime',
  '.m4a': 'audio/mp4',
  '.m4b': 'audio/mp4',
  '.3gp': 'video/3gpp',
  '.3g2': 'video/3gpp2',
};

export function contentType(path) {
  return kTypes[extname(path).toLowerCase()] || 'application/octet-stream';
}

// "bytes=A-B", "bytes=A-" or "bytes=-N" against a file of `size` bytes:
// [first, last] inclusive, or null when the range cannot be served.
export function parseRange(header, size) {
  const m = /^bytes=(\d*)-(\d*)$/.exec(header.trim());
  if (!m || (m[1] === '' && m[2] === '')) return null;
  let first;
  let last;
  if (m[1] === '') {
    first = Math.max(0, size - Number(m[2]));
    last = size - 1;
  } else {
    first = Number(m[1]);
    last = m[2] === '' ? size - 1 : Math.min(Number(m[2]), size - 1);
  }
  return first <= last && first < size ? [first, last] : null;
}

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
