#pragma once
// helper-bench: the recordings, the audio a channel is fed, and the "audio" lines that carry it.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace brimlow::bench {

constexpr size_t kChunk = 4000;    // 250 ms of 16 kHz audio
constexpr size_t kGapChunks = 6;   // 1.5 s of silence between clips
constexpr size_t kTailChunks = 8;  // 2 s after the last clip, so the last end of speech is seen

struct Clip {
  std::string id;
  std::string reference;
  std::vector<int16_t> samples;
};

// The 16 kHz mono recordings of `dir` named in its "transcription", in the order of their ids.
std::vector<Clip> readClips(const std::filesystem::path& dir);
// The 16 kHz mono recordings under `dir`, at any depth, that have their reference beside them
// (sNN.wav with sNN.txt, one line), in the order of their paths; read in place.
std::vector<Clip> readClipsWithTexts(const std::filesystem::path& dir);

struct Feed {
  std::vector<int16_t> samples;  // whole chunks
  std::string reference;         // the words spoken, in order
  size_t clips = 0;
  std::vector<size_t> clipStarts;  // sample offset of every clip
  size_t lastClipEnd = 0;          // sample offset after the last clip's speech
  std::vector<std::string> clipReferences;
  double seconds() const { return samples.size() / 16000.0; }
};

// Clips in order starting at `first`, `rounds` times, with `gap` chunks of faint noise between
// them (pure digital zeros are not what a microphone delivers) and `tail` chunks at the end.
Feed makeFeed(const std::vector<Clip>& clips, size_t first, int rounds, size_t gap, size_t tail);

// One "audio" command line (with its "\n") carrying the kChunk samples at `samples`.
std::string audioLine(const std::string& session, const std::string& source, size_t sequence,
                      double capturedAt, const int16_t* samples);

// The feed cut into one recording per clip, each with the silence that follows it, so that the
// engine decodes exactly the helper's audio, one utterance per clip as the helper's voice
// detection splits it. Returns the directory (with a "transcription").
std::filesystem::path writeSegments(const Feed& feed);

}  // namespace brimlow::bench
