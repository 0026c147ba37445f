#!/usr/bin/env python3
"""Figures of bench/vocabulary-bench, from brimlow-stt-helper's own finals.

  measure.py report HELPER WORK          the whole report (WORK holds the synthesised sets)
  measure.py general HELPER VOCABULARY   one streaming pass over the general recordings; prints
                                         its word errors (a command to time A against B)

Sets are the directories under bench/vocabulary: sentences.txt (the reference, written as
people write it), spoken.txt (what flite reads) and vocabulary.json (the host's terms by kind:
name, compound, acronym, other).
"""
import base64, glob, json, os, re, select, struct, subprocess, sys, time, wave

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from scoring import edits, words  # noqa: E402
SETS = ("jargon", "names")
KINDS = ("name", "compound", "acronym", "other")
VOICES = ("slt", "rms")
LIBRIVOX = "/usr/share/pocketsphinx/test/data/librivox"
SPEECH = os.path.normpath(os.path.join(HERE, "../../../shared/data/speech"))
ENV = dict(os.environ, BRIMLOW_RESEARCH_LOCALE="en-US")


def vocabulary(name):
    kinds = json.load(open(f"{HERE}/{name}/vocabulary.json"))
    return kinds, [term for kind in KINDS for term in kinds.get(kind, [])]


def research(helper, wav, vocabulary_file):
    """Finals of the helper's research mode, its CPU seconds and peak MiB (model load included)."""
    p = subprocess.Popen([helper, "--research-transcribe-file", wav, vocabulary_file], env=ENV,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = p.stdout.read().decode()
    _, status, usage = os.wait4(p.pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, out
    events = [json.loads(line) for line in out.splitlines()]
    finals = [e["text"] for e in events if e.get("type") == "transcript.final"]
    return finals, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def occurrences(pattern, text, flags=0):
    return len(re.findall(r"(?<![\w'])" + pattern + r"(?![\w'])", text, flags))


def counted_terms(kinds):
    """(kind, term) pairs counted for recall: each word of a person's name on its own ("Oluwaseun
    Adeyemi" is also said as "Oluwaseun"), every other term whole."""
    for kind in KINDS:
        for term in kinds.get(kind, []):
            for part in term.split() if kind == "name" else [term]:
                yield kind, part


def aligned(reference, finals):
    """(reference, hypothesis) text pairs: sentence by sentence when there is one final per
    sentence (so a term heard in the wrong sentence is no hit), else the whole texts."""
    if len(reference) == len(finals):
        return list(zip(reference, finals))
    return [(" ".join(reference), " ".join(finals))]


def recall(kinds, reference, finals):
    """Per kind: [occurrences in the reference, found in the finals in any case, found spelled
    as the host wrote the term]."""
    out = {kind: [0, 0, 0] for kind in KINDS}
    for ref_text, hyp_text in aligned(reference, finals):
        ref = " ".join(words(ref_text))
        hyp = " ".join(words(hyp_text))
        for kind, term in counted_terms(kinds):
            pattern = r"\s+".join(re.escape(w) for w in words(term))
            n_ref = occurrences(pattern, ref)
            out[kind][0] += n_ref
            out[kind][1] += min(n_ref, occurrences(pattern, hyp))
            spelled = r"[\s\-]+".join(re.escape(w) for w in re.findall(r"[\w']+", term))
            out[kind][2] += min(n_ref, occurrences(spelled, hyp_text))
    return out


def proper_nouns(reference, finals, terms):
    """Proper nouns of the reference (capitalised words other than a sentence's first and "I"),
    split into vocabulary words and the rest: [recognised, of those written with their capital]."""
    vocabulary_words = {w for t in terms for w in words(t)}
    out = {"vocabulary": [0, 0], "other": [0, 0]}
    for ref_text, hyp_text in aligned(reference, finals):
        wanted = {}
        for sentence in re.split(r"(?<=[.?!])\s+", ref_text):
            for token in re.findall(r"[\w']+", sentence)[1:]:
                if token != "I" and not token.startswith("I'") and token != token.lower():
                    wanted[token] = wanted.get(token, 0) + 1
        for token, n_ref in wanted.items():
            kind = "vocabulary" if token.lower() in vocabulary_words else "other"
            found = min(n_ref, occurrences(re.escape(token), hyp_text, re.IGNORECASE))
            out[kind][0] += found
            out[kind][1] += min(found, occurrences(re.escape(token), hyp_text))
    return out


def ends(reference, finals):
    """(finals ending in "?", questions in the reference, finals ending in ".", statements);
    sentence by sentence, so only where there is one final per sentence."""
    pairs = aligned(reference, finals) if len(reference) == len(finals) else []
    return (sum(r.endswith("?") and f.endswith("?") for r, f in pairs),
            sum(s.endswith("?") for s in reference),
            sum(r.endswith(".") and f.endswith(".") for r, f in pairs),
            sum(s.endswith(".") for s in reference))


def fraction(pair):
    return f"{pair[1]}/{pair[0]}" if pair[0] else "-"


def general_files():
    files = [(f"{LIBRIVOX}/{i}.wav", t) for i, t in librivox_references()]
    for wav in sorted(glob.glob(f"{SPEECH}/*/*.wav")):
        files.append((wav, open(wav[:-4] + ".txt").read()))
    return files


def librivox_references():
    lines = open(f"{LIBRIVOX}/transcription").read().splitlines()
    ids = open(f"{LIBRIVOX}/fileids").read().split()
    for i, line in zip(ids, lines):
        yield i, re.sub(r"</?s>|\(.*?\)", "", line)


def general(helper, vocabulary_list):
    """Streams every general recording (read in place) through one en-US session at full speed,
    1.5 s of silence between recordings. Returns the finals, the helper's CPU s and peak MiB."""
    p = subprocess.Popen([helper], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, env=ENV)
    events = []

    def send(obj):
        p.stdin.write((json.dumps(obj) + "\n").encode())
        p.stdin.flush()

    def read_until(done, quiet):
        # Events until done() holds, then until the output has been quiet for `quiet` seconds.
        buffered = b""
        reached = False
        while True:
            ready, _, _ = select.select([p.stdout], [], [], quiet if reached else 120)
            if not ready:
                if reached:
                    return
                raise RuntimeError("helper stalled")
            chunk = os.read(p.stdout.fileno(), 65536)
            if not chunk:
                raise RuntimeError("helper ended")
            buffered += chunk
            *lines, buffered = buffered.split(b"\n")
            for line in lines:
                events.append(json.loads(line))
            reached = reached or done()

    send({"type": "session.start", "sessionId": "g", "locale": "en-US",
          "vocabulary": vocabulary_list})
    read_until(lambda: any(e.get("type") == "session.ready" for e in events), 0)
    sequence = 0
    gap = b"\0\0" * 24000
    for wav, _ in general_files():
        with wave.open(wav) as w:
            assert w.getframerate() == 16000 and w.getnchannels() == 1 and w.getsampwidth() == 2
            pcm = w.readframes(w.getnframes()) + gap
        for at in range(0, len(pcm), 8000):
            send({"type": "audio", "sessionId": "g", "source": "remote", "sequence": sequence,
                  "capturedAt": 1.7e12 + 250.0 * sequence,
                  "pcmBase64": base64.b64encode(pcm[at:at + 8000]).decode()})
            sequence += 1
    send({"type": "session.stop", "sessionId": "g"})
    # The backlog decodes after session.stopped; partials keep coming until it is done.
    read_until(lambda: any(e.get("type") == "session.stopped" for e in events), 5)
    send({"type": "shutdown"})
    p.stdin.close()
    _, status, usage = os.wait4(p.pid, 0)
    finals = [e["text"] for e in events if e.get("type") == "transcript.final"]
    return finals, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def general_wer(finals):
    ref = words(" ".join(t for _, t in general_files()))
    return edits(ref, words(" ".join(finals))) / len(ref)


def report(helper, work):
    empty = f"{work}/none.json"
    json.dump([], open(empty, "w"))
    every_term = []
    print(f"{'run':26} {'recall':>7} {'spelled':>7} {'WER':>6} {'CPU s':>6} {'MiB':>6} "
          f"{'caps voc':>8} {'caps other':>10} {'?':>5} {'.':>5}")
    by_kind = {}
    for name in SETS:
        kinds, terms = vocabulary(name)
        every_term += terms
        vocabulary_file = f"{work}/{name}.json"
        json.dump(terms, open(vocabulary_file, "w"))
        reference = [l.strip() for l in open(f"{HERE}/{name}/sentences.txt") if l.strip()]
        for voice in VOICES:
            for label, file in (("none", empty), ("vocab", vocabulary_file)):
                finals, cpu, rss = research(helper, f"{work}/{name}-{voice}.wav", file)
                wer = edits(words(" ".join(reference)), words(" ".join(finals))) / len(
                    words(" ".join(reference)))
                kinds_found = recall(kinds, reference, finals)
                total = [sum(v[i] for v in kinds_found.values()) for i in range(3)]
                caps = proper_nouns(reference, finals, terms)
                q, nq, dot, n = ends(reference, finals)
                print(f"{name + ' ' + voice + ' ' + label:26} {total[1]:>3}/{total[0]:<3} "
                      f"{total[2]:>3}/{total[0]:<3} {wer:6.1%} {cpu:6.2f} {rss:6.1f} "
                      f"{fraction(caps['vocabulary']):>8} {fraction(caps['other']):>10} "
                      f"{q:>2}/{nq:<2} {dot:>2}/{n:<2}", flush=True)
                if os.environ.get("SHOW"):
                    for f in finals:
                        print("    ", f)
                for kind, v in kinds_found.items():
                    row = by_kind.setdefault((voice, label, kind), [0, 0, 0])
                    for i in range(3):
                        row[i] += v[i]
    print("\nterm recall by kind, both sets (found / said; spelled as written):")
    for voice in VOICES:
        for label in ("none", "vocab"):
            cells = []
            for kind in KINDS:
                said, found, spelled = by_kind[(voice, label, kind)]
                cells.append(f"{kind} {found}/{said} ({spelled})")
            print(f"  {voice} {label:6} " + ", ".join(cells))
    unrelated = f"{work}/all.json"
    json.dump(every_term, open(unrelated, "w"))
    print(f"\ngeneral speech ({len(general_files())} recordings, one streaming session):")
    for label, terms in (("none", []), (f"unrelated vocabulary of {len(every_term)}", every_term)):
        finals, cpu, rss = general(helper, terms)
        print(f"  {label:32} WER {general_wer(finals):6.1%}  CPU {cpu:6.2f} s  {rss:6.1f} MiB",
              flush=True)
    return every_term


def session_start(helper, vocabulary_list):
    p = subprocess.Popen([helper], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, env=ENV)

    def send(obj):
        p.stdin.write((json.dumps(obj) + "\n").encode())
        p.stdin.flush()

    times = []
    for n in range(2):
        start = time.monotonic()
        send({"type": "session.start", "sessionId": f"s{n}", "locale": "en-US",
              "vocabulary": vocabulary_list})
        while True:
            line = p.stdout.readline()
            if not line:
                raise RuntimeError("helper ended")
            if json.loads(line).get("type") == "session.ready":
                break
        times.append(time.monotonic() - start)
        send({"type": "session.stop", "sessionId": f"s{n}"})
    send({"type": "shutdown"})
    p.wait()
    return times


def main():
    command, helper = sys.argv[1], sys.argv[2]
    if command == "general":
        terms = json.load(open(sys.argv[3]))
        finals, cpu, rss = general(helper, terms)
        print(f"WER {general_wer(finals):.4f} CPU {cpu:.2f} MiB {rss:.1f}")
        return
    terms = report(helper, sys.argv[3])
    print()
    for label, vocab in (("no vocabulary", []), (f"vocabulary of {len(terms)}", terms)):
        first, second = session_start(helper, vocab)
        print(f"session start, {label}: first {first:.2f} s, second {second:.2f} s")


if __name__ == "__main__":
    main()
