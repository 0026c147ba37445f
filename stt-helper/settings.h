#pragma once
// Everything brimlow-stt-helper takes from its environment, read once where the program starts
// and passed down from there; nothing else in the helper reads the environment.
//
//   BRIMLOW_LOCALE            the default locale, "ja-JP" when unset or empty: what the start-up
//                             status and "--health" describe, what "--install-assets" installs
//                             and what "session.start" uses without a "locale"
//   BRIMLOW_RESEARCH_LOCALE   the locale of "--research-transcribe-file" (the default locale
//                             when unset or empty)
//   BRIMLOW_MODEL_PATH        colon-separated model directories searched first, in order
//   XDG_DATA_HOME, HOME       the user's model directory, searched next:
//                             $XDG_DATA_HOME/brimlow/models, else ~/.local/share/brimlow/models
//   BRIMLOW_MAX_DECODERS      how many decoders work at once, when a positive number; else as
//                             many as the machine has room for
//   BRIMLOW_SPHINX_ARGS       engine flags and values for every decoder, for trade-off studies
//   BRIMLOW_PLATFORM_VERSION  the system version reported ("15.0" takes the legacy path)
//   BRIMLOW_STT_DEBUG         "1": the legacy path's endpointing notes on stderr
//   BRIMLOW_DISCLAIMED        "1": this process is the re-executed, disclaimed copy already
#include <functional>
#include <string>

#include "platform/speech/engine_settings.h"
#include "support/system/system.h"

namespace brimlow::stt {

// The default locale without BRIMLOW_LOCALE.
inline constexpr const char* kFallbackLocale = "ja-JP";

// The defaults are those of an empty environment.
struct Settings {
  std::string defaultLocale = kFallbackLocale;
  std::string researchLocale = kFallbackLocale;
  platform::OsVersion osVersion = platform::linuxReportedOsVersion(nullptr);
  speech::EngineSettings engine;
  bool debugLog = false;
  bool disclaimed = false;
};

// The settings that `variable` (a variable's value, or null when unset) gives.
Settings settingsFrom(const std::function<const char*(const char*)>& variable);
// The settings of this process's environment.
Settings readSettings();

}  // namespace brimlow::stt
