// Plays media files to the end in Debian's Firefox (firefox-esr), headless, in
// a fresh profile and without a driver: Firefox opens a page of a local HTTP
// server (loopback only), the page plays the files one after the other and
// posts what it saw back to the server. The files are served as a web server
// serves them, answering Range requests. When the last result is in, or the
// time is up, the harness ends Firefox's whole process group and removes the
// profile.
//
//   node tests/browser/firefox_play.mjs [--rate R] [--timeout-ms N] FILE...
//
// Prints the same JSON lines as play.mjs, one per file, in order. The exit
// status is 0 when every line could be printed (judging them is the caller's
// business), 2 on bad usage and 1 when Firefox could not be run to the end.
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';
import { mkdtempSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { basename, join } from 'node:path';
import { isAudioOnly, parsePlayArguments, playInPage } from './media_page.mjs';
import { sendFile } from './media_server.mjs';

const kFirefox = process.env.MX_FIREFOX || 'firefox-esr';
// How long Firefox may take to start and load the page, beyond the files' own time.
const kStartMs = 60000;

// Preferences of the fresh profile: media plays without a gesture, no first-run
// or what's-new pages, and nothing goes out to the network on its own.
const kPrefs = {
  'media.autoplay.default': 0,
  'media.autoplay.blocking_policy': 0,
  'browser.shell.checkDefaultBrowser': false,
  'browser.startup.homepage_override.mstone': 'ignore',
  'browser.aboutwelcome.enabled': false,
  'startup.homepage_welcome_url': '',
  'browser.sessionstore.resume_from_crash': false,
  'toolkit.startup.max_resumed_crashes': -1,
  'app.update.disabledForTesting': true,
  'app.normandy.enabled': false,
  'datareporting.policy.dataSubmissionEnabled': false,
  'datareporting.healthreport.uploadEnabled': false,
  'toolkit.telemetry.enabled': false,
  'extensions.update.enabled': false,
  'extensions.getAddons.cache.enabled': false,
  'browser.safebrowsing.malware.enabled': false,
  'browser.safebrowsing.phishing.enabled': false,
  'browser.safebrowsing.downloads.enabled': false,
  'browser.search.update': false,
  'browser.newtabpage.enabled': false,
  'network.captive-portal-service.enabled': false,
  'network.connectivity-service.enabled': false,
  'network.dns.disablePrefetch': true,
  'network.prefetch-next': false,
  'services.settings.server': 'http://127.0.0.1:9/',
  // Anything that still reaches out goes to a closed port on this machine;
  // the page's own server (loopback) is reached directly. (A few name lookups
  // of Firefox's settings server remain; no connection leaves the machine.)
  'network.proxy.type': 1,
  'network.proxy.http': '127.0.0.1',
  'network.proxy.http_port': 9,
  'network.proxy.ssl': '127.0.0.1',
  'network.proxy.ssl_port': 9,
  'network.proxy.no_proxies_on': '',
  'network.trr.mode': 5,
  'network.predictor.enabled': false,
  'network.http.speculative-parallel-limit': 0,
};

function userJs() {
  return Object.entries(kPrefs)
    .map(([name, value]) => `user_pref(${JSON.stringify(name)}, ${JSON.stringify(value)});\n`)
    .join('');
}

// The page: fetches the list of files, plays each, posts each result.
function page() {
  return `<!doctype html><title>play</title><body></body><script>
${playInPage}
(async () => {
  const files = await (await fetch('/files')).json();
  for (let i = 0; i < files.length; ++i) {
    let result;
    try {
      result = await playInPage(files[i]);
    } catch (e) {
      result = { error: 'page: ' + e, events: [] };
    }
    await fetch('/result/' + i, { method: 'POST', body: JSON.stringify(result) });
  }
})();
</script>`;
}

// Serves the page at /, the list at /files, file i at /media/i/NAME, and takes
// result i at /result/i; `onResult(i, result)` receives each.
function serve(options, onResult) {
  const list = options.files.map((file, i) => ({
    url: `/media/${i}/${encodeURIComponent(basename(file))}`,
    audioOnly: isAudioOnly(file),
    rate: options.rate,
    timeoutMs: options.timeoutMs,
  }));
  const server = createServer((request, response) => {
    const media = /^\/media\/(\d+)\//.exec(request.url);
    const result = /^\/result\/(\d+)$/.exec(request.url);
    if (request.url === '/') {
      response.writeHead(200, { 'Content-Type': 'text/html' }).end(page());
    } else if (request.url === '/files') {
      response.writeHead(200, { 'Content-Type': 'application/json' }).end(JSON.stringify(list));
    } else if (media && options.files[Number(media[1])] !== undefined) {
      sendFile(request, response, options.files[Number(media[1])]);
    } else if (result && request.method === 'POST') {
      let body = '';
      request.on('data', (chunk) => {
        body += chunk;
      });
      request.on('end', () => {
        response.writeHead(204).end();
        onResult(Number(result[1]), JSON.parse(body));
      });
    } else {
      response.writeHead(404).end();
    }
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => resolve(server));
  });
}

function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Whether any process of the group is left.
function groupAlive(group) {
  try {
    process.kill(-group, 0);
    return true;
  } catch {
    return false;
  }
}

// Ends every process of Firefox's group: politely, then for good, and waits
// until none is left.
async function endGroup(group) {
  for (const signal of ['SIGTERM', 'SIGKILL']) {
    try {
      process.kill(-group, signal);
    } catch {
      return;
    }
    for (let waited = 0; waited < 5000 && groupAlive(group); waited += 50) await sleep(50);
    if (!groupAlive(group)) return;
  }
}

// Starts Firefox in its own process group on the page and resolves when every
// result is in; rejects when Firefox ends first or the time is up.
async function playAll(options, base, results) {
  const profile = mkdtempSync(join(tmpdir(), 'mx-firefox-'));
  writeFileSync(join(profile, 'user.js'), userJs());
  let firefox;
  let stderr = '';
  try {
    await new Promise((resolve, reject) => {
      results.done = resolve;
      firefox = spawn(kFirefox, ['--headless', '--no-remote', '--profile', profile, `${base}/`], {
        detached: true,
        stdio: ['ignore', 'ignore', 'pipe'],
        env: { ...process.env, MOZ_HEADLESS: '1' },
      });
      firefox.stderr.on('data', (chunk) => {
        stderr += chunk;
      });
      firefox.on('error', (e) => reject(new Error(`cannot run ${kFirefox}: ${e.message}`)));
      firefox.on('exit', (code, signal) => {
        reject(new Error(`${kFirefox} ended (${signal || code}) before the last result:\n${stderr}`));
      });
      const limit = kStartMs + options.files.length * (options.timeoutMs + 2000);
      setTimeout(() => reject(new Error(`no result after ${limit} ms:\n${stderr}`)), limit).unref();
    });
  } finally {
    if (firefox && firefox.pid !== undefined) await endGroup(firefox.pid);
    rmSync(profile, { recursive: true, force: true });
  }
}

async function main() {
  const options = parsePlayArguments(process.argv.slice(2), 'firefox_play.mjs');
  const results = { lines: new Array(options.files.length), count: 0, done: null };
  const server = await serve(options, (i, result) => {
    if (i >= options.files.length || results.lines[i] !== undefined) return;
    results.lines[i] = JSON.stringify({ file: options.files[i], ...result });
    // Lines go out in the files' order as soon as they can.
    while (results.count < options.files.length && results.lines[results.count] !== undefined) {
      process.stdout.write(`${results.lines[results.count++]}\n`);
    }
    if (results.count === options.files.length) results.done();
  });
  try {
    await playAll(options, `http://127.0.0.1:${server.address().port}`, results);
  } finally {
    server.closeAllConnections();
    server.close();
  }
}

main().catch((e) => {
  process.stderr.write(`firefox_play.mjs: ${e.stack || e}\n`);
  process.exit(1);
});
