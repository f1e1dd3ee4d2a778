// The local HTTP server side the browser harnesses share: the media types it
// answers with, its reading of Range headers, and files served the way a web
// server serves them (whole, or the byte range asked for).
import { createReadStream, statSync } from 'node:fs';
import { extname } from 'node:path';

const kTypes = {
  '.mp4': 'video/mp4',
  '.m4v': 'video/mp4',
  '.f4v': 'video/mp4',
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

// Answers a GET or HEAD of the file at `path`: all of it, or the range the
// request asks for (416 when that range is outside the file).
export function sendFile(request, response, path) {
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
}
