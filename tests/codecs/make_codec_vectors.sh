#!/usr/bin/env bash
# Regenerates the streams behind tests/codecs/codec_vectors.h and prints, for each, the
# parameter sets / configuration OBUs and the hvcC / av1C record that ffmpeg's MP4 writer
# makes from the same stream. Not run by the test suite: the tests embed the printed hex.
set -euo pipefail
out="${1:-$(mktemp -d)}"
mkdir -p "$out" && cd "$out"
src=(-v error -y -f lavfi)
x265="log-level=error:info=0"

units() {  # NAL units (HEVC) or OBUs (AV1) of a raw stream, as hex
  python3 - "$1" <<'PY'
import sys
d = open(sys.argv[1], 'rb').read()
if sys.argv[1].endswith('.obu'):
    i = 0
    while i < len(d):
        h = d[i]; t = (h >> 3) & 15; j = i + 1 + ((h >> 2) & 1); size = shift = 0
        while True:
            b = d[j]; j += 1; size |= (b & 0x7f) << shift; shift += 7
            if not b & 0x80: break
        print('obu', t, d[i:j + size].hex(' ') if t in (1, 2, 5) else '(%d bytes)' % (j + size - i))
        i = j + size
else:
    starts = []; i = 0
    while (j := d.find(b'\0\0\1', i)) >= 0: starts.append(j + 3); i = j + 3
    for k, s in enumerate(starts):
        u = d[s:starts[k + 1] - 3] if k + 1 < len(starts) else d[s:]
        u = u.rstrip(b'\0') if k + 1 < len(starts) else u
        t = (u[0] >> 1) & 63
        print('nal', t, u.hex(' ') if t >= 32 else '(slice, %d bytes)' % len(u))
PY
}
record() {  # body of the first box with this tag in an MP4 file
  python3 - "$1" "$2" <<'PY'
import sys, struct
d = open(sys.argv[1], 'rb').read(); i = d.find(sys.argv[2].encode())
print(sys.argv[2], d[i + 4:i - 4 + struct.unpack('>I', d[i - 4:i])[0]].hex(' '))
PY
}
hevc() {  # name, size, pixel format, x265 parameters
  ffmpeg "${src[@]}" -i "testsrc=size=$2:rate=25" -frames:v 3 -pix_fmt "$3" -c:v libx265 \
    -x265-params "$x265$4" "$1.hevc"
  ffmpeg -v error -y -i "$1.hevc" -c copy "$1.mp4"
  echo "== $1"; units "$1.hevc"; record "$1.mp4" hvcC
}
av1() {  # name, size, pixel format, encoder and its options...
  local name="$1" size="$2" pix="$3"; shift 3
  ffmpeg "${src[@]}" -i "testsrc=size=$size:rate=30" -frames:v 1 -pix_fmt "$pix" -c:v "$@" \
    -f obu "$name.obu" 2>/dev/null
  ffmpeg -v error -y -i "$name.obu" -c copy "$name.mp4"
  echo "== $name"; units "$name.obu"; record "$name.mp4" av1C
}

hevc m420 320x240 yuv420p ":master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,1):max-cll=1000,400"
hevc nowpp 320x240 yuv420p ":wpp=0:frame-threads=1:pools=none"
hevc y444 64x64 yuv444p ""
hevc y422 320x240 yuv422p10le ""
hevc hrd 320x240 yuv420p10le ":hrd=1:vbv-bufsize=2000:vbv-maxrate=1000:temporal-layers=1:level-idc=5.1"
hevc tier 320x240 yuv420p ":level-idc=4:high-tier=1:vbv-maxrate=25000:vbv-bufsize=25000"

av1 aom_1080p_8bit 1920x1080 yuv420p libaom-av1 -cpu-used 8
av1 aom_1080p_10bit 1920x1080 yuv420p10le libaom-av1 -cpu-used 8
av1 svt_1080p_8bit 1920x1080 yuv420p libsvtav1 -preset 12
av1 svt_360p_10bit_hdr 640x360 yuv420p10le libsvtav1 -preset 12 -svtav1-params \
  "mastering-display=G(0.2650,0.6900)B(0.1500,0.0600)R(0.6800,0.3200)WP(0.3127,0.3290)L(1000.0,0.0001):content-light=1000,400:color-primaries=9:transfer-characteristics=16:matrix-coefficients=9"
av1 rav1e_1080p 1920x1080 yuv420p librav1e -speed 10
av1 aom_444 64x64 yuv444p libaom-av1 -cpu-used 8
av1 aom_422 64x64 yuv422p libaom-av1 -cpu-used 8
av1 aom_420_12bit 64x64 yuv420p12le libaom-av1 -cpu-used 8
av1 aom_gray 64x64 gray libaom-av1 -cpu-used 8
av1 aom_still 64x64 yuv420p libaom-av1 -cpu-used 8 -still-picture 1
av1 aom_timing 64x64 yuv420p libaom-av1 -cpu-used 8 -aom-params timing-info=constant
av1 aom_decoder_model 64x64 yuv420p libaom-av1 -cpu-used 8 -aom-params timing-info=model
