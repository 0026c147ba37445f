// The timing figures of bench/capture-churn.sh, read from what brimlow-audio-capture wrote.
//
//   capture_churn_report steady FILE SECONDS
//     writes the steady stream's sound: a quiet 220 Hz tone with a mark every second (the first
//     at 0.5 s), 16 kHz mono
//   capture_churn_report now
//     prints the wall clock and the monotonic clock, in ms: WALL MONOTONIC
//   capture_churn_report stamp FILE
//     reads 16 kHz mono s16 from standard input (a recorder of the output) into FILE and the
//     wall time at which each 20 ms piece came into FILE.times
//   capture_churn_report report EVENTS FROM_WALL FROM_MONOTONIC TO_WALL TO_MONOTONIC [MONITOR]
//     prints, for the chunks captured from FROM to TO (the churn), one line:
//       WALL_RATE RATIO SPACING_MS FOUND DUE ADDED_MEDIAN_MS ADDED_MAX_MS
//     WALL_RATE: wall milliseconds per monotonic millisecond (the monotonic clock paces the
//     test servers' outputs; the wall clock, that of "capturedAt", may be slewed); RATIO: chunks
//     per 250 ms of monotonic time; SPACING_MS: mean spacing of "capturedAt"; the steady
//     stream's marks found and due, and how much later than before FROM they came: against
//     when the recorder of MONITOR (written by stamp) heard each, or else against their place
//     in the steady sound.
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "devtools/capture_timing.h"
#include "protocol/pcm_payload.h"

namespace {

using brimlow::devtools::kCaptureRate;

int writeSteady(const std::string& path, double seconds) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(kCaptureRate);
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) {
    std::cerr << "cannot write " << path << "\n";
    return 1;
  }
  const auto samples = brimlow::devtools::markedTone(seconds);
  sf_writef_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
  sf_close(file);
  return 0;
}

double median(std::vector<double> values) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

constexpr size_t kPiece = 320;  // 20 ms

int stamp(const std::string& path) {
  std::ofstream samples(path, std::ios::binary);
  std::ofstream times(path + ".times");
  std::vector<char> piece(kPiece * sizeof(int16_t));
  while (std::cin.read(piece.data(), static_cast<std::streamsize>(piece.size()))) {
    times << std::fixed << brimlow::devtools::readClocks().wall << "\n" << std::flush;
    samples.write(piece.data(), static_cast<std::streamsize>(piece.size())).flush();
  }
  return 0;
}

// What the recorder heard, each piece timed by when it came less its length.
brimlow::devtools::CaptureTimeline monitorTimeline(const std::string& path) {
  brimlow::devtools::CaptureTimeline timeline;
  std::ifstream samples(path, std::ios::binary), times(path + ".times");
  std::vector<int16_t> piece(kPiece);
  for (double at; times >> at;) {
    if (!samples.read(reinterpret_cast<char*>(piece.data()),
                      static_cast<std::streamsize>(piece.size() * sizeof(int16_t))))
      break;
    timeline.add(at - 1000.0 * double(kPiece) / kCaptureRate, piece);
  }
  return timeline;
}

int report(const std::string& path, brimlow::devtools::ClockReading from,
           brimlow::devtools::ClockReading to, const std::string& monitor) {
  std::ifstream in(path);
  brimlow::devtools::CaptureTimeline timeline;
  for (std::string line; std::getline(in, line);) {
    auto event = nlohmann::json::parse(line, nullptr, false);
    if (!event.is_object() || event.value("type", "") != "capture.audio") continue;
    auto pcm = brimlow::stt::makePCMBuffer(event["pcmBase64"].get<std::string>());
    if (!pcm) continue;
    const int16_t* data = (*pcm)->int16ChannelData(0);
    timeline.add(event["capturedAt"].get<double>(), {data, (*pcm)->frameLength()});
  }
  const double rate = brimlow::devtools::wallPerMonotonic(from, to);
  std::vector<double> inside;
  for (double t : timeline.chunkTimes())
    if (t >= from.wall && t < to.wall) inside.push_back(t);
  const double ratio =
      static_cast<double>(inside.size()) / ((to.monotonic - from.monotonic) / 250.0);
  const double spacing =
      inside.size() > 1 ? (inside.back() - inside.front()) / double(inside.size() - 1) : NAN;

  // Each mark's delay: after the recorder heard it, or after its place in the steady sound.
  std::vector<brimlow::devtools::MarkArrival> heard;
  if (!monitor.empty()) heard = brimlow::devtools::markArrivals(monitorTimeline(monitor), rate);
  const auto captured = brimlow::devtools::markArrivals(timeline, rate);
  // The recorder's count of the marks against the capture's: the first mark that both have
  // within a fraction of a second, before a capture could have fallen far behind.
  long offset = 0;
  bool paired = monitor.empty();
  for (const auto& mark : captured) {
    auto same = std::find_if(heard.begin(), heard.end(), [&](const auto& other) {
      return std::abs(other.at - mark.at) < 0.4 * brimlow::devtools::kMarkEveryMs;
    });
    if (paired || same == heard.end()) continue;
    offset = same->index - mark.index;
    paired = true;
  }
  std::vector<double> before, during;
  for (auto mark : captured) {
    if (!monitor.empty()) {
      auto same = std::find_if(heard.begin(), heard.end(), [&](const auto& other) {
        return paired && other.index == mark.index + offset;
      });
      if (same == heard.end()) continue;
      mark.delay = mark.at - same->at;
    }
    if (mark.at < from.wall) before.push_back(mark.delay);
    if (mark.at >= from.wall && mark.at < to.wall) during.push_back(mark.delay);
  }
  const double reference = median(before);
  std::vector<double> added;
  for (double d : during) added.push_back(d - reference);
  const double most = added.empty() ? NAN : *std::max_element(added.begin(), added.end());
  std::printf("%.4f %.4f %.1f %zu %.0f %.0f %.0f\n", rate, ratio, spacing, during.size(),
              std::floor((to.monotonic - from.monotonic) / brimlow::devtools::kMarkEveryMs),
              median(added), most);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "steady" && argc == 4) return writeSteady(argv[2], std::atof(argv[3]));
  if (command == "now" && argc == 2) {
    const auto now = brimlow::devtools::readClocks();
    std::printf("%.3f %.3f\n", now.wall, now.monotonic);
    return 0;
  }
  if (command == "stamp" && argc == 3) return stamp(argv[2]);
  if (command == "report" && (argc == 7 || argc == 8))
    return report(argv[2], {std::atof(argv[3]), std::atof(argv[4])},
                  {std::atof(argv[5]), std::atof(argv[6])}, argc == 8 ? argv[7] : "");
  std::cerr << "usage: " << argv[0]
            << " steady FILE SECONDS | now | stamp FILE | report EVENTS FROM_WALL "
               "FROM_MONOTONIC TO_WALL TO_MONOTONIC [MONITOR]\n";
  return 64;
}
