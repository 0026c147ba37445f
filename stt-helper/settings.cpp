#include "stt-helper/settings.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

namespace brimlow::stt {

namespace {

// A set variable with some text, or null.
const char* nonEmpty(const char* value) {
  return value && *value ? value : nullptr;
}

std::vector<std::string> modelRoots(const std::function<const char*(const char*)>& variable) {
  std::vector<std::string> roots;
  if (const char* list = variable("BRIMLOW_MODEL_PATH")) {
    std::stringstream entries(list);
    for (std::string dir; std::getline(entries, dir, ':');)
      if (!dir.empty()) roots.push_back(dir);
  }
  if (const char* xdg = nonEmpty(variable("XDG_DATA_HOME"))) {
    roots.push_back(std::string(xdg) + "/brimlow/models");
  } else if (const char* home = nonEmpty(variable("HOME"))) {
    roots.push_back(std::string(home) + "/.local/share/brimlow/models");
  }
  return roots;
}

int maxDecoders(const char* text) {
  if (!text) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value <= 0) return 0;
  return static_cast<int>(std::min(value, 4096L));
}

std::vector<std::string> words(const char* text) {
  std::vector<std::string> out;
  if (!text) return out;
  std::istringstream in(text);
  for (std::string word; in >> word;) out.push_back(std::move(word));
  return out;
}

bool isOne(const char* value) {
  return value && std::strcmp(value, "1") == 0;
}

}  // namespace

Settings settingsFrom(const std::function<const char*(const char*)>& variable) {
  Settings settings;
  if (const char* locale = nonEmpty(variable("BRIMLOW_LOCALE"))) settings.defaultLocale = locale;
  const char* research = nonEmpty(variable("BRIMLOW_RESEARCH_LOCALE"));
  settings.researchLocale = research ? research : settings.defaultLocale;
  settings.osVersion = platform::linuxReportedOsVersion(variable("BRIMLOW_PLATFORM_VERSION"));
  settings.engine.modelRoots = modelRoots(variable);
  settings.engine.decoderArgs = words(variable("BRIMLOW_SPHINX_ARGS"));
  settings.engine.maxDecoders = maxDecoders(variable("BRIMLOW_MAX_DECODERS"));
  settings.debugLog = isOne(variable("BRIMLOW_STT_DEBUG"));
  settings.disclaimed = isOne(variable("BRIMLOW_DISCLAIMED"));
  return settings;
}

Settings readSettings() {
  return settingsFrom([](const char* name) -> const char* { return std::getenv(name); });
}

}  // namespace brimlow::stt
