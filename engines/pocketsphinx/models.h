#pragma once
// Where PocketSphinx models live and which locales they serve.
//
// A model is a directory named after its locale tag in lower case (`en-us`), found in the first
// root of the search path that has one: the model roots of the engine's settings in order (the
// helper's settings name them: `BRIMLOW_MODEL_PATH`, then the user's data directory), then the
// distribution's `/usr/share/pocketsphinx/model`.
// Inside `<root>/<tag>/`, the layout of the Debian package:
//   `<tag>/`                       the acoustic model (mdef, means, variances,
//                                  transition_matrices, noisedict, sendump or mixture_weights)
//   `<tag>.lm.bin` or `<tag>.lm`   the language model (binary or ARPA)
//   `cmudict-<tag>.dict` or `<tag>.dict`   the pronunciation dictionary
// e.g. /usr/share/pocketsphinx/model/en-us/{en-us/, en-us.lm.bin, cmudict-en-us.dict}.
//
// Locale identifiers match loosely: "en-US", "en_US", "en-us", "en_US.UTF-8" and "en" are the
// same locale; the canonical identifier is "en-US".
#include <optional>
#include <string>
#include <vector>

#include "platform/speech/engine_settings.h"

namespace brimlow::pocketsphinx {

// The engine's settings for the whole process. Both services share decoders through per-locale
// pools that outlive them, so the settings are set once where the program is assembled, before
// any service is made. Until then: the distribution's models, no extra flags, the machine's
// decoder limit.
void configureEngine(speech::EngineSettings settings);
speech::EngineSettings engineSettings();

struct ModelFiles {
  std::string directory;
  std::string acousticModel;
  std::string languageModel;
  std::string dictionary;
};

// The roots searched for models, in order, from the current environment.
std::vector<std::string> modelSearchPath();

// "en-US" for "en_us", "en-US.UTF-8" or "en"; nothing when `identifier` is not a locale.
// A bare language takes the region of the published model for it ("en" → "en-US") and stays
// bare otherwise ("ca").
std::optional<std::string> canonicalLocale(const std::string& identifier);

// Locales for which PocketSphinx models are published (whether installed here or not).
const std::vector<std::string>& knownModelLocales();

// The canonical identifier of `identifier` when a model for it is published or installed.
std::optional<std::string> supportedLocale(const std::string& identifier);

// The model files of a canonical locale, when a complete model is found on the search path.
std::optional<ModelFiles> findModel(const std::string& canonicalLocale);

// The Debian package that ships the model, when there is one ("pocketsphinx-en-us").
std::optional<std::string> distributionPackage(const std::string& canonicalLocale);

// What to do to get the model of `canonicalLocale`: the package to install and the directory
// layout to put under the search path.
std::string installationAdvice(const std::string& canonicalLocale);

}  // namespace brimlow::pocketsphinx
