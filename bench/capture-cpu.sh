#!/usr/bin/env bash
# CPU use of brimlow-audio-capture while it captures for a while (default 60 s) from a private
# sound server on which speech plays all along. Prints the program's user and system CPU time,
# its share of one core, its peak memory and the number of chunks it wrote.
#
#   bench/capture-cpu.sh [BINARY] [SECONDS]
# BINARY defaults to the release build, else the debug build.
set -euo pipefail
cd "$(dirname "$0")/.."

binary=${1:-}
if [ -z "$binary" ]; then
  for candidate in build/release/audio-capture/brimlow-audio-capture \
                   build/debug/audio-capture/brimlow-audio-capture; do
    [ -x "$candidate" ] && { binary=$candidate; break; }
  done
fi
[ -x "${binary:-}" ] || { echo "build brimlow-audio-capture first" >&2; exit 1; }
seconds=${2:-60}
recordings=(/usr/share/pocketsphinx/test/data/librivox/*.wav)

work=$(mktemp -d /tmp/brimlow-bench-XXXXXX)
player=""
cleanup() {
  [ -n "$player" ] && kill -TERM "$player" 2>/dev/null || true
  scripts/pulse-test-server stop "$work/server" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

scripts/pulse-test-server start "$work/server" >/dev/null
eval "$(scripts/pulse-test-server env "$work/server" | sed 's/^/export /')"

# Speech, one recording after the other, for as long as the capture runs.
( while true; do for f in "${recordings[@]}"; do paplay "$f"; done; done ) 2>/dev/null &
player=$!

mkfifo "$work/stdin"
( sleep "$seconds"; echo '{"type":"stop"}' ) >"$work/stdin" &
/usr/bin/time -v -o "$work/time.txt" "$binary" --capture <"$work/stdin" >"$work/events.jsonl"

user=$(awk -F': ' '/User time/ {print $2}' "$work/time.txt")
system=$(awk -F': ' '/System time/ {print $2}' "$work/time.txt")
wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time.txt")
rss=$(awk -F': ' '/Maximum resident/ {print $2}' "$work/time.txt")
chunks=$(grep -c '"type":"capture.audio"' "$work/events.jsonl" || true)
loud=$(grep '"type":"capture.audio"' "$work/events.jsonl" | grep -vc '"level":0.0,' || true)
share=$(awk -v u="$user" -v s="$system" -v t="$seconds" 'BEGIN {printf "%.2f", 100 * (u + s) / t}')
echo "binary:        $binary"
echo "captured for:  ${seconds} s (wall ${wall})"
echo "cpu user:      ${user} s"
echo "cpu system:    ${system} s"
echo "cpu share:     ${share} % of one core"
echo "peak rss:      ${rss} kB"
echo "chunks:        ${chunks} (${loud} with sound); expected about $((seconds * 4))"
