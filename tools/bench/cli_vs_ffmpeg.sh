#!/usr/bin/env bash
# Compares `videomill-cli convert` with the default profile (profile 0) against
# the ffmpeg tool doing the same conversion: same container, codecs, frame
# size, frame rate, bit rates, sample rate, channels, x264 settings (the
# engine's "libx264-default" preset) and codec threads. Runs alternate
# (cli, ffmpeg, cli, ffmpeg, ...) so both see the same machine load; prints
# the mean wall-clock times and their ratio (cli / ffmpeg).
#
# Usage: tools/bench/cli_vs_ffmpeg.sh [BUILD_DIR]   (default: build)
# Environment: RUNS (default 3), DURATION of the sample in seconds (default 5),
#              THREADS codec threads (default 0 = one per core).
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build}
cli=$build/bin/videomill-cli
ini=$build/bin/format.ini
runs=${RUNS:-3}
duration=${DURATION:-5}
threads=${THREADS:-0}

[ -x "$cli" ] || { echo "no $cli: build the videomill-cli target first" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "the ffmpeg tool is missing" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Settings of our own: no user override may change profile 0.
export VIDEOMILL_APPDATA=$work/appdata VIDEOMILL_COMMON_APPDATA=$work/common

# The default value of a parameter of profile 0 (the entry captioned "default").
param() {
  awk -v key="$1" '
    /^\[/ { sec = ($0 == "[0]") ; next }
    sec && index($0, key "=") == 1 {
      n = split(substr($0, length(key) + 2), e, ";")
      for (i = 1; i <= n; i++) if (e[i] ~ /\$default$/) { sub(/\$default$/, "", e[i]); print e[i] }
    }' "$ini"
}
format=$(awk '/^\[/{s=($0=="[0]");next} s&&/^format=/{print substr($0,8)}' "$ini")
size=$(param video_size)
rate=$(param video_framerate)
venc=$(param video_encoder)
vbit=$(param video_bitrate)
arate=$(param audio_samplerate)
ach=$(param audio_channel)
aenc=$(param audio_encoder)
abit=$(param audio_bitrate)
echo "profile 0: $format $venc ${size} @${rate} ${vbit}k, $aenc ${abit}k ${arate} Hz $ach; threads $threads"
if [ "$format" != ".mp4" ] || [ "$venc" != "x264" ] || [ "$aenc" != "aac" ]; then
  echo "this script knows the ffmpeg equivalent of mp4/x264/aac profiles only" >&2
  exit 1
fi
case "$ach" in Mono) channels=1 ;; *) channels=2 ;; esac

sample=$work/sample.mp4
ffmpeg -nostdin -y -hide_banner -loglevel error \
  -f lavfi -i "testsrc2=size=640x360:rate=25:duration=$duration" \
  -f lavfi -i "sine=frequency=440:sample_rate=44100:duration=$duration" \
  -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac -shortest "$sample"

# The engine's libx264-default preset in today's option names.
x264=(-coder 1 -cmp +chroma -partitions +parti8x8+parti4x4+partp8x8+partb8x8 -me_method hex
  -subq 7 -me_range 16 -g 250 -keyint_min 25 -sc_threshold 40 -i_qfactor 0.71 -b_strategy 1
  -qcomp 0.6 -qmin 10 -qmax 51 -qdiff 4 -bf 3 -refs 3 -direct-pred 1 -trellis 1
  -mixed-refs 1 -weightb 1 -8x8dct 1 -fast-pskip 1 -weightp 2)

run_cli() {
  rm -rf "$work/cli"
  "$cli" convert "$sample" --profile 0 --dest "$work/cli" --threads "$threads" >/dev/null
}
run_ffmpeg() {
  rm -rf "$work/ff" && mkdir -p "$work/ff"
  ffmpeg -nostdin -y -hide_banner -loglevel error -i "$sample" \
    -vf "scale=${size/x/:}" -r "$rate" -c:v libx264 -b:v "${vbit}k" "${x264[@]}" \
    -c:a aac -b:a "${abit}k" -ar "$arate" -ac "$channels" -threads "$threads" \
    -sn "$work/ff/sample.mp4"
}
now() { date +%s.%N; }

cli_total=0
ff_total=0
for i in $(seq "$runs"); do
  t0=$(now); run_cli; t1=$(now); run_ffmpeg; t2=$(now)
  c=$(echo "$t1 - $t0" | bc -l); f=$(echo "$t2 - $t1" | bc -l)
  printf 'run %d: videomill-cli %.2f s, ffmpeg %.2f s\n' "$i" "$c" "$f"
  cli_total=$(echo "$cli_total + $c" | bc -l)
  ff_total=$(echo "$ff_total + $f" | bc -l)
done

probe() {
  ffprobe -v error -show_entries stream=codec_name,width,height,avg_frame_rate,sample_rate,channels \
    -of compact=p=0:nk=1 "$1" | tr '\n' ' '
}
echo "videomill-cli output: $(probe "$work/cli/sample.mp4")"
echo "ffmpeg output:        $(probe "$work/ff/sample.mp4")"
cli_mean=$(echo "$cli_total / $runs" | bc -l)
ff_mean=$(echo "$ff_total / $runs" | bc -l)
printf 'mean: videomill-cli %.2f s, ffmpeg %.2f s, ratio %.2f\n' "$cli_mean" "$ff_mean" \
  "$(echo "$cli_mean / $ff_mean" | bc -l)"
