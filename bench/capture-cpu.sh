#!/usr/bin/env bash
# CPU use of brimlow-audio-capture while it captures for a while (default 60 s) from a private
# sound server on which speech plays all along: PLAYERS players (default 1) spread over OUTPUTS
# null outputs (default 1), so that the capture follows several streams on several outputs.
# Prints the program's user and system CPU time, its share of one core, its CPU time per 250 ms
# chunk, its peak memory, the number of chunks it wrote and how far they fell behind the clock.
#
#   bench/capture-cpu.sh [BINARY] [SECONDS] [PLAYERS] [OUTPUTS]
# BINARY defaults to the release build, else the debug build. BRIMLOW_SOUND_SERVER=pipewire
# runs it on PipeWire's pulse server instead of PulseAudio.
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/capture-common.sh
binary=$(capture_binary "${1:-}")
seconds=${2:-60}
players=${3:-1}
outputs=${4:-1}
recordings=(/usr/share/pocketsphinx/test/data/librivox/*.wav)

work=$(mktemp -d /tmp/brimlow-bench-XXXXXX)
player_pids=()
cleanup() {
  for pid in "${player_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  "$server_script" stop "$work/server" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

"$server_script" start "$work/server" >/dev/null
eval "$("$server_script" env "$work/server" | sed 's/^/export /')"
names=(brimlow_test)
for (( o=1; o<outputs; o++ )); do
  names+=("brimlow_out$o")
  "$server_script" add-output "$work/server" "brimlow_out$o"
done

# Speech, one recording after the other, for as long as the capture runs; player p starts at
# recording p so that the players do not say the same thing at once.
for (( p=0; p<players; p++ )); do
  device=${names[$(( p % outputs ))]}
  ( trap 'kill $(jobs -p) 2>/dev/null; exit 0' TERM
    while true; do
      for (( i=0; i<${#recordings[@]}; i++ )); do
        paplay --device="$device" "${recordings[$(( (i + p) % ${#recordings[@]} ))]}" & wait $!
      done
    done ) 2>/dev/null &
  player_pids+=($!)
done

mkfifo "$work/stdin"
( sleep "$seconds"; echo '{"type":"stop"}' ) >"$work/stdin" &
/usr/bin/time -v -o "$work/time.txt" "$binary" --capture <"$work/stdin" >"$work/events.jsonl"

user=$(awk -F': ' '/User time/ {print $2}' "$work/time.txt")
system=$(awk -F': ' '/System time/ {print $2}' "$work/time.txt")
wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time.txt")
rss=$(awk -F': ' '/Maximum resident/ {print $2}' "$work/time.txt")
chunks=$(grep -c '"type":"capture.audio"' "$work/events.jsonl" || true)
loud=$(grep '"type":"capture.audio"' "$work/events.jsonl" | grep -vc '"level":0.0,' || true)
errors=$(grep -c '"type":"capture.error"' "$work/events.jsonl" || true)
# Time that passed between the first and the last chunk against the audio they carried: a
# capture that keeps time has these equal, whatever the streams did meanwhile.
behind=$(grep -o '"capturedAt":[0-9.]*' "$work/events.jsonl" | cut -d: -f2 |
  awk 'NR == 1 {first = $1} {last = $1; n++} END {if (n > 1) printf "%.0f", (last - first) - (n - 1) * 250; else print "-"}')
share=$(awk -v u="$user" -v s="$system" -v t="$seconds" 'BEGIN {printf "%.2f", 100 * (u + s) / t}')
per_chunk=$(awk -v u="$user" -v s="$system" -v c="$chunks" \
  'BEGIN {if (c > 0) printf "%.3f", 1000 * (u + s) / c; else print "-"}')
echo "binary:        $binary"
echo "server:        $(basename "$server_script"), $players player(s) on $outputs output(s)"
echo "captured for:  ${seconds} s (wall ${wall})"
echo "cpu user:      ${user} s"
echo "cpu system:    ${system} s"
echo "cpu share:     ${share} % of one core"
echo "cpu per chunk: ${per_chunk} ms (each chunk is 250 ms of audio)"
echo "peak rss:      ${rss} kB"
echo "chunks:        ${chunks} (${loud} with sound, ${errors} errors); expected about $((seconds * 4))"
echo "behind:        ${behind} ms (time from the first chunk to the last, less the audio between)"
