// Plays media files to the end in a real browser: the Debian chromium, headless,
// driven by playwright-core (never a browser playwright downloads). The files
// are served from a local HTTP server that answers Range requests, as a web
// server does, so the browser reads them the way it reads them from the web.
//
//   node tests/browser/play.mjs [--rate R] [--timeout-ms N] FILE...
//
// Prints one JSON line per file, in order:
//   {"file", "ended", "currentTime", "duration", "error", "videoWidth",
//    "videoHeight", "decodedFrames", "droppedFrames", "hasAudio", "events"}
// "error" is null or "code N: message" from the media element; "ended" tells
// whether the element reached its end; "hasAudio" whether it found sound it
// plays (null when the browser does not tell). The exit status is 0 when every line
// could be printed (judging them is the caller's business), 2 on bad usage and
// 1 when the browser itself could not be run.
import { createServer } from 'node:http';
import { basename } from 'node:path';
import { withPage } from './browser.mjs';
import { isAudioOnly, parsePlayArguments, playInPage } from './media_page.mjs';
import { sendFile } from './media_server.mjs';

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
    sendFile(request, response, path);
  });
  return new Promise((resolve) => {
    server.listen(0, '127.0.0.1', () => resolve(server));
  });
}

async function main() {
  const options = parsePlayArguments(process.argv.slice(2), 'play.mjs');
  const server = await serve(options.files);
  const base = `http://127.0.0.1:${server.address().port}`;
  try {
    await withPage(base, async (page) => {
      for (let i = 0; i < options.files.length; ++i) {
        const file = options.files[i];
        const result = await page.evaluate(playInPage, {
          url: `${base}/media/${i}/${encodeURIComponent(basename(file))}`,
          audioOnly: isAudioOnly(file),
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
