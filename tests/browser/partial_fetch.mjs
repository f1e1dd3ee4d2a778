// Shows how far into a file a browser must read before it can play it: the
// file is served from a local HTTP server that answers Range requests but
// never sends a byte at or past the gate; a response that reaches the gate
// stops there and stays open, like a slow network that has delivered only
// the first part so far. Every request is logged with the range it asked for
// and the bytes it was sent. The browser is the Debian chromium, headless,
// driven by playwright-core (never a browser playwright downloads).
//
//   node tests/browser/partial_fetch.mjs [--gate BYTES] [--timeout-ms N] FILE
//
// Prints one JSON line: {"size", "gate", "metadata", "playing", "currentTime",
// "duration", "error", "events", "requests": [{"range", "first", "sent"}]}.
// "metadata" tells whether the media element loaded the file's metadata,
// "playing" whether playback started and its clock moved. Exit status 0 when
// the line could be printed (judging it is the caller's business), 2 on bad
// usage, 1 when the browser itself could not be run.
import { createServer } from 'node:http';
import { openSync, readSync, closeSync, statSync } from 'node:fs';
import { basename } from 'node:path';
import { withPage } from './browser.mjs';
import { contentType, parseRange } from './media_server.mjs';

function usage(message) {
  process.stderr.write(`${message}\nusage: node partial_fetch.mjs [--gate BYTES] [--timeout-ms N] FILE\n`);
  process.exit(2);
}

function parseArguments(argv) {
  const options = { gate: Infinity, timeoutMs: 10000, file: null };
  for (let i = 0; i < argv.length; ++i) {
    if (argv[i] === '--gate') {
      options.gate = Number(argv[++i]);
      if (!(options.gate >= 0)) usage('--gate must be a byte count');
    } else if (argv[i] === '--timeout-ms') {
      options.timeoutMs = Number(argv[++i]);
      if (!(options.timeoutMs > 0)) usage('--timeout-ms must be positive');
    } else if (options.file === null) {
      options.file = argv[i];
    } else {
      usage('one file only');
    }
  }
  if (options.file === null) usage('no file given');
  return options;
}

// Serves the file at /media/NAME and a blank page at /; logs into `requests`.
function serve(path, gate, requests) {
  const size = statSync(path).size;
  const held = new Set();
  const server = createServer((request, response) => {
    if (!request.url.startsWith('/media/')) {
      response.writeHead(200, { 'Content-Type': 'text/html' });
      response.end('<!doctype html><title>partial fetch</title><body></body>');
      return;
    }
    const header = request.headers.range;
    const range = header === undefined ? [0, size - 1] : parseRange(header, size);
    const entry = { range: header || null, first: range ? range[0] : null, sent: 0 };
    requests.push(entry);
    if (range === null) {
      response.writeHead(416, { 'Content-Range': `bytes */${size}` }).end();
      return;
    }
    const [first, last] = range;
    const headers = {
      'Content-Type': contentType(path),
      'Accept-Ranges': 'bytes',
      'Content-Length': last - first + 1,
    };
    if (header === undefined) {
      response.writeHead(200, headers);
    } else {
      response.writeHead(206, { ...headers, 'Content-Range': `bytes ${first}-${last}/${size}` });
    }
    // Bytes below the gate go out at once; the rest never does.
    const end = Math.min(last + 1, gate);
    if (first < end) {
      const fd = openSync(path, 'r');
      const bytes = Buffer.alloc(end - first);
      readSync(fd, bytes, 0, bytes.length, first);
      closeSync(fd);
      response.write(bytes);
      entry.sent = bytes.length;
    }
    if (end === last + 1) {
      response.end();
    } else {
      held.add(response);
      response.on('close', () => held.delete(response));
    }
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => resolve({ server, size, held }));
  });
}

// Runs in the page: loads the file and starts it muted; reports once the
// clock has moved, or at the error or time limit.
async function loadInPage({ url, timeoutMs }) {
  const media = document.createElement('video');
  media.muted = true;
  media.preload = 'auto';
  document.body.replaceChildren(media);
  const events = [];
  let metadata = false;
  let playing = false;
  const outcome = await new Promise((resolve) => {
    const timer = setTimeout(() => resolve('timeout'), timeoutMs);
    const finish = (why) => {
      clearTimeout(timer);
      resolve(why);
    };
    for (const name of ['loadedmetadata', 'canplay', 'playing', 'waiting', 'stalled']) {
      media.addEventListener(name, () => events.push(name));
    }
    media.addEventListener('error', () => finish('error'));
    media.addEventListener('loadedmetadata', () => {
      metadata = true;
      media.play().catch((e) => events.push(`play() rejected: ${e.name}: ${e.message}`));
    });
    media.addEventListener('timeupdate', () => {
      if (media.currentTime > 0.2) {
        playing = true;
        finish('played');
      }
    });
    media.src = url;
  });
  events.push(outcome);
  return {
    metadata,
    playing,
    currentTime: media.currentTime,
    duration: media.duration,
    error: media.error ? `code ${media.error.code}: ${media.error.message}` : null,
    events,
  };
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const requests = [];
  const { server, size, held } = await serve(options.file, options.gate, requests);
  const base = `http://127.0.0.1:${server.address().port}`;
  try {
    const result = await withPage(base, (page) =>
      page.evaluate(loadInPage, {
        url: `${base}/media/${encodeURIComponent(basename(options.file))}`,
        timeoutMs: options.timeoutMs,
      }),
    );
    const gate = Number.isFinite(options.gate) ? options.gate : size;
    process.stdout.write(`${JSON.stringify({ size, gate, ...result, requests })}\n`);
  } finally {
    for (const response of held) response.destroy();
    server.close();
  }
}

main().catch((e) => {
  process.stderr.write(`partial_fetch.mjs: ${e.stack || e}\n`);
  process.exit(1);
});
