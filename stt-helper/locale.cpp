#include "stt-helper/locale.h"

#include <cstdlib>

namespace brimlow::stt {

std::string defaultLocale() {
  const char* value = std::getenv("BRIMLOW_LOCALE");
  return value && *value ? value : "ja-JP";
}

std::string localeName(const std::string& locale) {
  return locale == "ja-JP" ? "Japanese" : locale;
}

}  // namespace brimlow::stt
