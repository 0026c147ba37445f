#pragma once
// How the helper names locales to people; the default locale is among its settings.
#include <string>

namespace brimlow::stt {

// How status messages name a locale: "Japanese" for "ja-JP", so that its messages stay the ones
// hosts know, else the identifier as given.
std::string localeName(const std::string& locale);

}  // namespace brimlow::stt
