#pragma once
// The locale the helper works in when nobody names one.
#include <string>

namespace brimlow::stt {

// BRIMLOW_LOCALE, or "ja-JP" when it is unset or empty: what the start-up status and "--health"
// describe, what "--install-assets" installs and what "session.start" and research mode use when
// they are given no locale. The one place that reads the variable.
std::string defaultLocale();

// How status messages name a locale: "Japanese" for "ja-JP", so that its messages stay the ones
// hosts know, else the identifier as given.
std::string localeName(const std::string& locale);

}  // namespace brimlow::stt
