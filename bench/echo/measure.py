#!/usr/bin/env python3
"""Measures bench/echo-bench's scenarios on the helper; see that script for what is measured."""
import base64
import json
import os
import statistics
import subprocess
import sys
import threading
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from scoring import edits, words  # noqa: E402

CHUNK = 4000  # the other side's chunks: 250 ms, as the capture program writes them


def samples(path):
    with wave.open(path) as w:
        return w.readframes(w.getnframes())


class Session:
    def __init__(self, sid, echo, remote, self_audio, self_chunk_ms=250, self_phase_ms=0):
        self.sid, self.echo = sid, echo
        self.remote, self.self_audio = remote, self_audio
        self.self_chunk = int(self_chunk_ms * 16) * 2  # bytes
        self.self_phase = int(self_phase_ms * 16) * 2


def relay(helper, version, sessions, pace, tail):
    """Feeds every session's two streams at `pace` times real time, then stops them; returns the
    events per session with the wall-clock millisecond each came, the process's CPU seconds, and
    the wall-clock millisecond the streams began (their "capturedAt" origin)."""
    env = dict(os.environ, BRIMLOW_PLATFORM_VERSION=version)
    proc = subprocess.Popen([helper], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)
    events = []
    lock = threading.Lock()

    def read():
        for line in proc.stdout:
            with lock:
                events.append((time.time() * 1000.0, json.loads(line)))

    reader = threading.Thread(target=read)
    reader.start()

    def send(obj):
        proc.stdin.write((json.dumps(obj) + "\n").encode())

    for s in sessions:
        send({"type": "session.start", "sessionId": s.sid, "locale": "en-US",
              "echoCancellation": s.echo})
    proc.stdin.flush()
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        with lock:
            ready = sum(1 for _, e in events if e["type"] == "session.ready")
        if ready >= len(sessions) * (2 if version == "26.0" else 1):
            break
        time.sleep(0.05)
    # Every chunk with the moment it is complete: the other side's every 250 ms, the
    # microphone's as its own chunking says; relayed in that order (the other side first when
    # both complete together).
    plan = []
    for s in sessions:
        tail_bytes = tail * 32000
        remote = s.remote + bytes(tail_bytes)
        mic = s.self_audio + s.self_audio[:tail_bytes]  # the room's noise goes on
        for at in range(0, len(remote) - CHUNK * 2 + 1, CHUNK * 2):
            plan.append(((at + CHUNK * 2) / 32.0, 0, s.sid, "remote", at / 32.0, remote[at:at + CHUNK * 2]))
        at, first = 0, True
        while at < len(mic):
            size = s.self_phase if first and s.self_phase else s.self_chunk
            first = False
            piece = mic[at:at + size]
            if len(piece) < 2:
                break
            plan.append(((at + len(piece)) / 32.0, 1, s.sid, "self", at / 32.0, piece))
            at += size
    plan.sort(key=lambda p: (p[0], p[1]))
    sequence = {}
    begun = time.monotonic()
    start = time.time() * 1000.0
    for done_ms, _, sid, source, offset_ms, data in plan:
        due = begun + done_ms / 1000.0 / pace
        now = time.monotonic()
        if due > now:
            proc.stdin.flush()
            time.sleep(due - now)
        n = sequence.get((sid, source), 0)
        sequence[(sid, source)] = n + 1
        send({"type": "audio", "sessionId": sid, "source": source, "sequence": n,
              "capturedAt": start + offset_ms, "pcmBase64": base64.b64encode(data).decode()})
    for s in sessions:
        send({"type": "session.stop", "sessionId": s.sid})
    proc.stdin.flush()
    # Done once every session has finished, or said nothing for a while after stopping.
    last = time.monotonic()
    while time.monotonic() - last < 6:
        time.sleep(0.2)
        with lock:
            finished = sum(1 for _, e in events if e["type"] == "session.finished")
            if events:
                last = max(last, time.monotonic() - (time.time() - events[-1][0] / 1000.0))
        if finished >= len(sessions):
            break
    proc.stdin.close()
    _, status, usage = os.wait4(proc.pid, 0)
    reader.join()
    per = {s.sid: [dict(e, receivedAt=t) for t, e in events if e.get("sessionId") == s.sid]
           for s in sessions}
    return per, usage.ru_utime + usage.ru_stime, start


def finals(events, source):
    return [e for e in events if e["type"] == "transcript.final" and e.get("source") == source]


def text_of(events, source):
    return " ".join(e["text"] for e in finals(events, source))


def main():
    helper, work, paths = sys.argv[1], sys.argv[2], sys.argv[3:]
    far_words = words(open(os.path.join(work, "far.txt")).read())
    local_words = words(open(os.path.join(work, "local.txt")).read())
    far = samples(os.path.join(work, "far.wav"))
    far_double = samples(os.path.join(work, "far-double.wav"))
    silence = samples(os.path.join(work, "silence.wav"))
    single = samples(os.path.join(work, "mic-single.wav"))
    show = os.environ.get("SHOW") == "1"
    # BRIMLOW_BENCH_ONLY=scenarios,cpu,latency picks sections (default: all).
    only = set(os.environ.get("BRIMLOW_BENCH_ONLY", "scenarios,cpu,latency").split(","))

    for version, backend, pace in (("26.0", "analyzer", 4.0), ("15.0", "legacy", 1.0)):
        if "scenarios" not in only:
            break
        print(f"\n## {backend} backend ({pace:g}x real time)")
        print("| scenario | path | off | on |")
        print("|---|---|---|---|")
        for path in paths:
            leak = samples(os.path.join(work, f"mic-leak-{path}.wav"))
            per, _, _ = relay(helper, version, [Session("on", True, far, leak),
                                             Session("off", False, far, leak)], pace, 3)
            row = []
            for sid in ("off", "on"):
                heard = words(text_of(per[sid], "self"))
                row.append(f"{len(heard)}/{len(far_words)} = {len(heard) / len(far_words):.3f}")
                if show:
                    print(f"   {sid}: {text_of(per[sid], 'self')}")
            print(f"| leak | {path} | {row[0]} | {row[1]} |", flush=True)
        for path in ["-"] + paths:
            mic = single if path == "-" else samples(os.path.join(work, f"mic-double-{path}.wav"))
            remote = silence if path == "-" else far_double
            per, _, _ = relay(helper, version, [Session("on", True, remote, mic),
                                             Session("off", False, remote, mic)], pace, 3)
            row = []
            for sid in ("off", "on"):
                heard = words(text_of(per[sid], "self"))
                errors = edits(local_words, heard)
                row.append(f"{errors}/{len(local_words)} = {errors / len(local_words):.3f}")
                if show:
                    print(f"   {sid}: {text_of(per[sid], 'self')}")
            kind = "single" if path == "-" else "double"
            print(f"| {kind} | {path} | {row[0]} | {row[1]} |", flush=True)

    # CPU: one session per process, the same audio with cancellation on and off.
    path = paths[-1] if len(paths) < 3 else paths[2]
    mic = samples(os.path.join(work, f"mic-double-{path}.wav"))
    if "cpu" in only:
        cpu(helper, far_double, mic, path)
    if "latency" in only:
        latency(helper, work, silence, single, far_double, mic)


def cpu(helper, far_double, mic, path):
    print(f"\n## CPU (analyzer, double talk on {path}, whole process, 3 pairs)")
    ratios, on_cpu, off_cpu = [], [], []
    for _ in range(3):
        _, cpu_on, _ = relay(helper, "26.0", [Session("s", True, far_double, mic)], 4.0, 3)
        _, cpu_off, _ = relay(helper, "26.0", [Session("s", False, far_double, mic)], 4.0, 3)
        on_cpu.append(cpu_on)
        off_cpu.append(cpu_off)
        ratios.append(cpu_on / cpu_off)
    print(f"on {statistics.median(on_cpu):.2f} s, off {statistics.median(off_cpu):.2f} s, "
          f"ratio median {statistics.median(ratios):.3f} (pairs {', '.join(f'{r:.3f}' for r in ratios)})")



def latency(helper, work, silence, single, far_double, mic):
    # How much later "self" finals come: at real time, for each of the local user's sentences,
    # from the end of the sentence to the arrival of the first "self" final whose speech ends
    # with it or later.
    ends, at = [], 0.0
    for n in range(1, len(open(os.path.join(work, "local.txt")).read().splitlines()) + 1):
        with wave.open(os.path.join(work, f"local-{n}.wav")) as w:
            at += w.getnframes() / 16.0
        ends.append(at)
        at += 1000.0  # the gap between sentences
    print(f"\n## \"self\" finals after the local user's sentence ends, at real-time pace (analyzer)")
    print("| microphone chunks | scenario | off: median / p90 ms | on: median / p90 ms |")
    print("|---|---|---|---|")
    for chunk_ms, phase_ms in ((250, 0), (100, 37)):
        for kind, remote, mic in (("single", silence, single), ("double", far_double, mic)):
            per, _, start = relay(helper, "26.0",
                                  [Session("on", True, remote, mic, chunk_ms, phase_ms),
                                   Session("off", False, remote, mic, chunk_ms, phase_ms)], 1.0, 3)
            cells = []
            for sid in ("off", "on"):
                # (arrival, where its speech ended), both from the streams' start
                got = sorted((e["receivedAt"] - start, e["receivedAt"] - start - e["latencyMs"])
                             for e in finals(per[sid], "self"))
                delays = [next((a - end for a, spoken in got if spoken > end - 500), None)
                          for end in ends]
                delays = sorted(d for d in delays if d is not None)
                cells.append(f"{statistics.median(delays):.0f} / {delays[int(0.9 * (len(delays) - 1))]:.0f}"
                             if delays else "-")
            label = f"{chunk_ms} ms" + (f", {phase_ms} ms out of step" if phase_ms else ", in step")
            print(f"| {label} | {kind} | {cells[0]} | {cells[1]} |", flush=True)

if __name__ == "__main__":
    main()
