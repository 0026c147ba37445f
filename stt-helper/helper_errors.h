#pragma once
// The error domain of the failures the helper reports itself, shared by both backends' channels.
// Each backend names its codes once, in its own header, and the two ranges never overlap:
// legacy/legacy_errors.h has 1 to 3, analyzer/analyzer_errors.h has 10 to 12. The engines' own
// errors keep the domains and codes of their services (platform/).

namespace brimlow::stt {

inline constexpr const char* kHelperErrorDomain = "BrimlowSTT";

}  // namespace brimlow::stt
