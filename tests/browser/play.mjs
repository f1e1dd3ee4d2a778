// Plays media files to the end in a real browser: the Debian chromium, headless,
// driven by playwright-core (never a browser playwright downloads). The files
// are served from a local HTTP server that answers Range requests, as a web
// server does, so the browser reads them the way it reads them from the web.
//
//   node tests/browser/play.mjs [--rate R] [--timeout-ms N] FILE...
//
// Prints one JSON line per file, in order:
//   {"file", "ended", "currentTime", "duration", "error", "videoWidth",
//    "videoHeight", "decodedFrames", "events"}
// "error" is null or "code N: message" from the media element; "ended" tells
// whether the element reached its end. The exit status is 0 when every line
// could be printed (judging them is the caller's business), 2 on bad usage and
// 1 when the browser itself could not be run.
import { createServer } from 'node:http';
import { createReadStream, statSync } from 'node:fs';
import { basename, extname } from 'node:path';
import { contentType, parseRange, withPage } from './browser.mjs';

function usage(message) {
  process.stderr.write(`${message}\nusage: node play.mjs [--rate R] [--timeout-ms N] FILE...\n`);
  process.exit(2);
}

function parseArguments(argv) {
  const options = { rate: 1, timeoutMs: 30000, files: [] };
  for (let i = 0; i < argv.length; ++i) {
    if (argv[i] === '--rate') {
      options.rate = Number(argv[++i]);
      if (!(options.rate > 0 && options.rate <= 16)) usage('--rate must be in (0, 16]');
    } else if (argv[i] === '--timeout-ms') {
      options.timeoutMs = Number(argv[++i]);
      if (!(options.timeoutMs > 0)) usage('--timeout-ms must be positive');
    } else {
      options.files.push(argv[i]);
    }
  }
  if (options.files.length === 0) usage('no file given');
  return options;
}

// Serves file i of the list at /media/i/NAME, and a blank page at /.
function serve(files) {
  const server = createServer((request, response) => {
    const m = /^\/media\/(\d+)\//.exec(request.url);
    if (!m) {
      response.writeHead(200, { 'Content-Type': 'text/html' });
      response.end('<!doctype html><title>play</title><body></body>');
      return;
    }
    const path = files[Number(m[1])];
    if (path === undefined) {
      response.writeHead(404).end();
      return;
    }
    const size = statSync(path).size;
    const headers = {
      'Content-Type': contentType(path),
      'Accept-Ranges': 'bytes',
    };
    const rangeHeader = request.headers.range;
    if (rangeHeader === undefined) {
      response.writeHead(200, { ...headers, 'Content-Length': size });
      if (request.method === 'HEAD') return response.end();
      createReadStream(path).pipe(response);
      return;
    }
    const range = parseRange(rangeHeader, size);
    if (range === null) {
      response.writeHead(416, { 'Content-Range': `bytes */${size}` }).end();
      return;
    }
    const [first, last] = range;
    response.writeHead(206, {
      ...headers,
      'Content-Length': last - first + 1,
      'Content-Range': `bytes ${first}-${last}/${size}`,
    });
    if (request.method === 'HEAD') return response.end();
    createReadStream(path, { start: first, end: last }).pipe(response);
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => resolve(server));
  });
}

// Runs in the page: plays one file muted to its end, or to an error, or until
// the time limit, and reports what the media element says.
async function playInPage({ url, audioOnly, rate, timeoutMs }) {
  const media = document.createElement(audioOnly ? 'audio' : 'video');
  media.muted = true;
  media.preload = 'auto';
  document.body.replaceChildren(media);
  const events = [];
  const outcome = await new Promise((resolve) => {
    const timer = setTimeout(() => resolve('timeout'), timeoutMs);
    const finish = (why) => {
      clearTimeout(timer);
      resolve(why);
    };
    for (const name of ['loadedmetadata', 'canplay', 'playing', 'stalled', 'waiting']) {
      media.addEventListener(name, () => events.push(name));
    }
    media.addEventListener('ended', () => finish('ended'));
    media.addEventListener('error', () => finish('error'));
    media.addEventListener('loadedmetadata', () => {
      media.playbackRate = rate;
      media.play().catch((e) => {
        events.push(`play() rejected: ${e.name}: ${e.message}`);
      });
    });
    media.src = url;
  });
  events.push(outcome);
  const quality = audioOnly ? null : media.getVideoPlaybackQuality();
  return {
    ended: media.ended,
    currentTime: media.currentTime,
    duration: media.duration,
    error: media.error ? `code ${media.error.code}: ${media.error.message}` : null,
    videoWidth: audioOnly ? 0 : media.videoWidth,
    videoHeight: audioOnly ? 0 : media.videoHeight,
    decodedFrames: quality ? quality.totalVideoFrames : 0,
    events,
  };
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  const server = await serve(options.files);
  const base = `http://127.0.0.1:${server.address().port}`;
  try {
    await withPage(base, async (page) => {
      for (let i = 0; i < options.files.length; ++i) {
        const file = options.files[i];
        const ext = extname(file).toLowerCase();
        const result = await page.evaluate(playInPage, {
          url: `${base}/media/${i}/${encodeURIComponent(basename(file))}`,
          audioOnly: ext === '.m4a' || ext === '.m4b',
          rate: options.rate,
          timeoutMs: options.timeoutMs,
        });
        process.stdout.write(`${JSON.stringify({ file, ...result })}\n`);
      }
    });
  } finally {
    server.close();
  }
}

main().catch((e) => {
  process.stderr.write(`play.mjs: ${e.stack || e}\n`);
  process.exit(1);
});
