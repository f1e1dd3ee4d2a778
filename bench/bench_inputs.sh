# The inputs of the mxmux benchmarks, made with ffmpeg once into a work folder
# (sourced by mxmux_vs.sh and mux_instructions.sh). Long streams are a short
# encode repeated: every repetition starts with an IDR picture and its
# parameter sets, so the concatenation is one valid stream.
#   big.h264, big.aac  BIG: 2.6 GB of 1080p H.264 (1800 frames, high bit rate) + AAC
#   big.all            the same bytes as BIG's two inputs, for dd to copy
#   big-100m.h264      the first 100 MiB of big.h264, for the instruction counts
#   many.h264          MANY: 200,000 small frames (160x90 H.264)
#   many-quarter.h264  its first 50,000 frames
make_bench_inputs() {  # work folder
  local work="$1"
  ff() { ffmpeg -hide_banner -loglevel error -y "$@"; }
  mkdir -p "$work"
  if [ ! -s "$work/big.h264" ]; then
    echo "making BIG input..."
    ff -f lavfi -i testsrc2=size=1920x1080:rate=30 -frames:v 120 -vf noise=alls=8:allf=t \
       -c:v libx264 -preset ultrafast -qp 10 -g 60 -f h264 "$work/big-part.h264"
    for i in $(seq 15); do cat "$work/big-part.h264"; done >"$work/big.h264"
    rm -f "$work/big-part.h264" "$work/big.all" "$work/big-100m.h264"
  fi
  if [ ! -s "$work/big.aac" ]; then
    ff -f lavfi -i "sine=frequency=440:sample_rate=48000:duration=60" -ac 2 -c:a aac -b:a 128k \
       -f adts "$work/big.aac"
    rm -f "$work/big.all"
  fi
  if [ ! -s "$work/big.all" ]; then  # what dd copies: the same input bytes as mxmux reads
    cat "$work/big.h264" "$work/big.aac" >"$work/big.all"
  fi
  if [ ! -s "$work/big-100m.h264" ]; then
    head -c $((100 << 20)) "$work/big.h264" >"$work/big-100m.h264"
  fi
  if [ ! -s "$work/many.h264" ]; then
    echo "making MANY input..."
    ff -f lavfi -i testsrc2=size=160x90:rate=25 -frames:v 10000 -c:v libx264 -preset ultrafast \
       -g 250 -bf 0 -f h264 "$work/many-part.h264"
    for i in $(seq 20); do cat "$work/many-part.h264"; done >"$work/many.h264"
    for i in $(seq 5); do cat "$work/many-part.h264"; done >"$work/many-quarter.h264"
    rm -f "$work/many-part.h264"
  fi
}
