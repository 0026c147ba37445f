#!/usr/bin/env bash
# brimlow-audio-capture while players keep starting and stopping, as on a desktop (notification
# sounds, a browser tab per participant): PLAYERS players each play short clips of speech
# (0.3-3 s) one after the other, every clip a new playback stream, for SECONDS (default 60),
# while one steady stream plays a quiet tone with a mark every second from 4.5 s before the
# churn begins. For each number of players (default 1, 3 and 8; 0 is the steady stream alone)
# it prints, over the churn:
#   chunks/due   chunks whose "capturedAt" falls in the churn per 250 ms of it (1.0 keeps time)
#   spacing      mean spacing of consecutive "capturedAt" (250 ms keeps time)
#   marks        the steady stream's marks found of those due
#   added        how much later than before the churn its marks came: median and largest, each
#                against when the server played it (a recorder of the output's own, outside the
#                program, tells that: a server that falls behind under load delays the marks
#                for everyone)
#   cpu/chunk    the program's user + system CPU time per chunk written
# Time is the monotonic clock's, which paces the test servers' outputs; "wall rate" tells how
# fast the wall clock, that of "capturedAt", ran against it (a slewed wall clock makes spacing
# and the marks' times differ from the audio by that factor; chunks/due and added allow for it).
#
#   bench/capture-churn.sh [BINARY] [SECONDS] [PLAYERS ...]
# BINARY defaults to the release build, else the debug build. BRIMLOW_SOUND_SERVER=pipewire
# runs it on PipeWire's pulse server instead of PulseAudio.
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/capture-common.sh
binary=$(capture_binary "${1:-}")
report=$(built capture_churn_report build/release/bench/capture_churn_report \
  build/debug/bench/capture_churn_report)
seconds=${2:-60}
shift $(( $# > 2 ? 2 : $# ))
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(1 3 8)
lead=4.5  # seconds of the steady stream alone: the marks' delay without churn

work=$(mktemp -d /tmp/brimlow-churn-XXXXXX)
player_pids=()
stop_players() {
  for pid in "${player_pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${player_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  player_pids=()
}
cleanup() {
  stop_players
  "$server_script" stop "$work/server" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# Clips of 0.3 to 3 s from the test recordings, and the steady stream's sound.
clips=()
recordings=(/usr/share/pocketsphinx/test/data/librivox/*.wav)
r=0
for length in 0.3 0.5 0.8 1.2 1.7 2.3 3.0; do
  for (( k=0; k<2; k++ )); do
    clip="$work/clip-$length-$k.wav"
    sox "${recordings[$(( r % ${#recordings[@]} ))]}" "$clip" trim 0.4 "$length"
    clips+=("$clip")
    r=$(( r + 1 ))
  done
done
"$report" steady "$work/steady.wav" "$(( seconds + 15 ))"


runs=0
run() {
  local players=$1 dir
  runs=$(( runs + 1 ))
  dir="$work/run-$runs"
  mkdir -p "$dir"
  "$server_script" start "$work/server" >/dev/null
  eval "$("$server_script" env "$work/server" | sed 's/^/export /')"

  # The independent recorder: what the output plays, and when each piece of it came.
  parec --latency-msec=20 -d brimlow_test.monitor --raw --format=s16le --rate=16000 \
    --channels=1 2>/dev/null | "$report" stamp "$dir/monitor" &
  player_pids+=($!)
  mkfifo "$dir/stdin"
  /usr/bin/time -v -o "$dir/time.txt" "$binary" --capture <"$dir/stdin" >"$dir/events.jsonl" &
  local capture=$!
  exec 3>"$dir/stdin"
  for _ in $(seq 1 500); do grep -q '"started"' "$dir/events.jsonl" 2>/dev/null && break; sleep 0.02; done

  paplay "$work/steady.wav" 2>/dev/null &
  player_pids+=($!)
  sleep "$lead"
  local from
  from=$("$report" now)
  for (( p=0; p<players; p++ )); do
    ( trap 'kill $(jobs -p) 2>/dev/null; exit 0' TERM
      i=$p
      while true; do
        paplay "${clips[$(( i % ${#clips[@]} ))]}" & wait $!
        i=$(( (i * 5 + 3) % 97 ))
      done ) 2>/dev/null &
    player_pids+=($!)
  done
  sleep "$seconds"
  local to
  to=$("$report" now)
  sleep 1  # the chunks of the churn's last 250 ms are written after it
  echo '{"type":"stop"}' >&3
  exec 3>&-
  wait "$capture" || true
  stop_players
  "$server_script" stop "$work/server" >/dev/null 2>&1 || true

  local user system chunks figures
  user=$(awk -F': ' '/User time/ {print $2}' "$dir/time.txt")
  system=$(awk -F': ' '/System time/ {print $2}' "$dir/time.txt")
  chunks=$(grep -c '"type":"capture.audio"' "$dir/events.jsonl" || true)
  # shellcheck disable=SC2086  # two clock readings each
  figures=$("$report" report "$dir/events.jsonl" $from $to "$dir/monitor")
  read -r rate ratio spacing found due added most <<<"$figures"
  printf '%-8s %7s %10s %8s %9s %9s %10s %10s\n' "$players" "$ratio" "$spacing" "$found/$due" \
    "$added" "$most" \
    "$(awk -v u="$user" -v s="$system" -v c="$chunks" 'BEGIN {if (c > 0) printf "%.3f", 1000 * (u + s) / c; else print "-"}')" \
    "$rate"
}

echo "binary: $binary; server: $(basename "$server_script"); churn for ${seconds} s"
printf '%-8s %7s %10s %8s %9s %9s %10s %10s\n' players chunks/due "spacing ms" marks \
  "added ms" "max ms" "cpu/chunk ms" "wall rate"
for players in "${counts[@]}"; do run "$players"; done
