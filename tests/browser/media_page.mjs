// What the harnesses that play files share: their command line, and what
// their page does with one file.

// What a harness's page does with one file, the same in every browser: plays
// it muted to its end, or to an error, or until the time limit, and reports
// what the media element says. It runs in the page, so it uses nothing from
// outside its own body.
export async function playInPage({ url, audioOnly, rate, timeoutMs }) {
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
  // Whether the element found sound it plays: Firefox tells it (mozHasAudio),
  // chromium counts the sound bytes it decoded.
  let hasAudio = null;
  if (typeof media.mozHasAudio === 'boolean') {
    hasAudio = media.mozHasAudio;
  } else if (typeof media.webkitAudioDecodedByteCount === 'number') {
    hasAudio = media.webkitAudioDecodedByteCount > 0;
  }
  return {
    ended: media.ended,
    currentTime: media.currentTime,
    duration: media.duration,
    error: media.error ? `code ${media.error.code}: ${media.error.message}` : null,
    videoWidth: audioOnly ? 0 : media.videoWidth,
    videoHeight: audioOnly ? 0 : media.videoHeight,
    decodedFrames: quality ? quality.totalVideoFrames : 0,
    droppedFrames: quality ? quality.droppedVideoFrames : 0,
    hasAudio,
    events,
  };
}

// Whether a file plays in an audio element rather than a video element.
export function isAudioOnly(path) {
  return /\.(m4a|m4b)$/i.test(path);
}

// The command line of the harnesses that play files: [--rate R] [--timeout-ms N] FILE...
// Exits with status 2 and the usage line on a bad one.
export function parsePlayArguments(argv, program) {
  const usage = (message) => {
    process.stderr.write(`${message}\nusage: node ${program} [--rate R] [--timeout-ms N] FILE...\n`);
    process.exit(2);
  };
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
