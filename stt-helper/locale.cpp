#include "stt-helper/locale.h"

namespace brimlow::stt {

std::string localeName(const std::string& locale) {
  return locale == "ja-JP" ? "Japanese" : locale;
}

}  // namespace brimlow::stt
