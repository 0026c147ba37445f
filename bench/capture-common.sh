# Shared by the capture benchmarks; sourced from the repository's top directory.
#   built NAME CANDIDATE...  prints the first candidate that is an executable, else fails
#   capture_binary [BINARY]  BINARY, else the release build of brimlow-audio-capture, else the
#                            debug build
#   server_script            scripts/pulse-test-server, or scripts/pipewire-test-server when
#                            BRIMLOW_SOUND_SERVER is "pipewire"
built() {
  local name=$1 candidate
  shift
  for candidate in "$@"; do
    [ -x "$candidate" ] && { echo "$candidate"; return 0; }
  done
  echo "build $name first" >&2
  return 1
}

capture_binary() {
  if [ -n "${1:-}" ]; then
    built brimlow-audio-capture "$1"
  else
    built brimlow-audio-capture build/release/audio-capture/brimlow-audio-capture \
      build/debug/audio-capture/brimlow-audio-capture
  fi
}

if [ "${BRIMLOW_SOUND_SERVER:-}" = pipewire ]; then
  server_script=scripts/pipewire-test-server
else
  server_script=scripts/pulse-test-server
fi
