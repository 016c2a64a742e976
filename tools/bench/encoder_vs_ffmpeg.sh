#!/bin/sh
# Wall time of the encoder component against the ffmpeg tool for the same
# conversion: a 30 s 1280x720 H.264/AAC clip to H.264 640x360 800 kbit/s +
# AAC 128 kbit/s 44100 Hz stereo in mp4, same codec and thread settings.
# Runs alternate (engine, ffmpeg, engine, ...) so load changes hit both.
#
#   tools/bench/encoder_vs_ffmpeg.sh [build-dir]     (RUNS=3 THREADS=2)
#
# FFMPEG_EXTRA adds options to the ffmpeg command, e.g.
# FFMPEG_EXTRA="-filter_threads 1" to run its filter graph (the scaling) on one
# thread as the engine's pipeline does.
set -eu
BUILD=${1:-build}
RUNS=${RUNS:-3}
FFMPEG_EXTRA=${FFMPEG_EXTRA:-}
THREADS=${THREADS:-2}
BIN=$BUILD/bench/bench_encode_once
[ -x "$BIN" ] || { echo "missing $BIN (cmake --build $BUILD --target bench_encode_once)" >&2; exit 1; }

MEDIA=$BUILD/bench-media
SRC=$MEDIA/src_720p_30s.mp4
mkdir -p "$MEDIA"
if [ ! -s "$SRC" ]; then
  ffmpeg -y -hide_banner -loglevel error \
    -f lavfi -i testsrc2=size=1280x720:rate=25:duration=30 \
    -f lavfi -i sine=frequency=440:sample_rate=44100:duration=30 \
    -c:v libx264 -preset veryfast -b:v 4M -pix_fmt yuv420p \
    -c:a aac -b:a 128k -ac 2 -shortest "$SRC.tmp.mp4"
  mv "$SRC.tmp.mp4" "$SRC"
fi
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# One timed run: wall, user and system seconds of the whole process.
timed() {
  /usr/bin/time -f "%e %U %S" -o "$WORK/time" "$@" >/dev/null
  cat "$WORK/time"
}
totals="0 0 0 0 0 0"
i=1
while [ "$i" -le "$RUNS" ]; do
  e=$(timed "$BIN" "$SRC" "$WORK/engine.mp4" "$THREADS")
  f=$(timed ffmpeg -y -hide_banner -loglevel error -threads "$THREADS" -i "$SRC" \
    -threads "$THREADS" $FFMPEG_EXTRA -c:v libx264 -s 640x360 -b:v 800k \
    -c:a aac -b:a 128k -ar 44100 -ac 2 "$WORK/ffmpeg.mp4")
  echo "$e $f" | awk -v i="$i" '{printf "run %d: engine wall %.2fs cpu %.2fs | ffmpeg wall %.2fs cpu %.2fs\n", i, $1, $2 + $3, $4, $5 + $6}'
  totals=$(echo "$totals $e $f" | awk '{printf "%f %f %f %f %f %f", $1 + $7, $2 + $8 + $9, $3 + $10, $4 + $11 + $12, 0, 0}')
  i=$((i + 1))
done
echo "$totals $RUNS" | awk '{printf "mean: engine wall %.2fs cpu %.2fs | ffmpeg wall %.2fs cpu %.2fs\nratio engine/ffmpeg: wall %.3f cpu %.3f\n", $1/$7, $2/$7, $3/$7, $4/$7, $1/$3, $2/$4}'
for f in engine ffmpeg; do
  printf '%s: ' "$f"
  ffprobe -v error -show_entries stream=codec_name,width,height,bit_rate,sample_rate,channels \
    -of csv=p=0 "$WORK/$f.mp4" | tr '\n' ' '
  echo
done
