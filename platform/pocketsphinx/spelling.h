#pragma once
// The engine writes every word in lower case ("kubernetes", "i", "okrs"). Transcripts are read
// by people, so each text is written as a person would write it: a vocabulary term as the host
// spelled it ("Kubernetes", "OKRs", "nginx", "kanban board"), the pronoun "i" as "I", and the
// first letter of the text in upper case unless a vocabulary term begins it. Nothing else
// changes.
#include <string>
#include <string_view>
#include <vector>

namespace brimlow::pocketsphinx {

// `text` is the engine's words joined by single spaces; `vocabulary` the host's phrases.
std::string spellTranscript(std::string_view text, const std::vector<std::string>& vocabulary);

}  // namespace brimlow::pocketsphinx
