#include "engines/pocketsphinx/models.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string_view>
#include <system_error>

#include "support/text.h"

namespace brimlow::pocketsphinx {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDistributionRoot = "/usr/share/pocketsphinx/model";

// Acoustic models published by the CMU Sphinx project, by locale. Only US English is packaged
// by Debian; the others have to be fetched by hand and put on the search path.
struct KnownModel {
  const char* locale;
  const char* package;  // Debian package, or nullptr
};
constexpr KnownModel kKnownModels[] = {
    {"en-US", "pocketsphinx-en-us"},
    {"en-IN", nullptr},
    {"de-DE", nullptr},
    {"el-GR", nullptr},
    {"es-ES", nullptr},
    {"fr-FR", nullptr},
    {"hi-IN", nullptr},
    {"it-IT", nullptr},
    {"kk-KZ", nullptr},
    {"nl-NL", nullptr},
    {"pt-BR", nullptr},
    {"ru-RU", nullptr},
    {"zh-CN", nullptr},
};

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}
bool allAlpha(const std::string& s) {
  for (char c : s)
    if (!std::isalpha(static_cast<unsigned char>(c))) return false;
  return true;
}
bool allDigit(const std::string& s) {
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  return true;
}

bool isDirectory(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}
bool isFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

std::optional<fs::path> firstFile(const fs::path& dir, std::initializer_list<std::string> names) {
  for (const auto& name : names)
    if (isFile(dir / name)) return dir / name;
  return std::nullopt;
}

// The files the engine loads from an acoustic model directory. The model definition is checked
// for its signature as well: the engine ends the whole process when it cannot parse one.
bool completeAcousticModel(const fs::path& dir) {
  for (const char* name : {"mdef", "means", "variances", "transition_matrices", "noisedict"})
    if (!isFile(dir / name)) return false;
  if (!isFile(dir / "sendump") && !isFile(dir / "mixture_weights")) return false;
  std::ifstream mdef(dir / "mdef", std::ios::binary);
  char head[4] = {};
  mdef.read(head, sizeof head);
  return std::string_view(head, 4) == "BMDF" || std::string_view(head, 3) == "0.3";
}

}  // namespace

namespace {

std::mutex engineMutex;
speech::EngineSettings& configuredEngine() {
  // Never destroyed: detached recognition threads may still read it while the process exits.
  static auto* settings = new speech::EngineSettings;
  return *settings;
}

}  // namespace

void configureEngine(speech::EngineSettings settings) {
  std::lock_guard lock(engineMutex);
  configuredEngine() = std::move(settings);
}

speech::EngineSettings engineSettings() {
  std::lock_guard lock(engineMutex);
  return configuredEngine();
}

std::vector<std::string> modelSearchPath() {
  std::vector<std::string> roots = engineSettings().modelRoots;
  roots.push_back(kDistributionRoot);
  return roots;
}

std::optional<std::string> canonicalLocale(const std::string& identifier) {
  // POSIX locale names carry a codeset and a modifier: "en_US.UTF-8@euro".
  std::string id = identifier.substr(0, identifier.find_first_of(".@"));
  for (char& c : id)
    if (c == '_') c = '-';
  std::vector<std::string> parts;
  std::stringstream in(id);
  std::string part;
  while (std::getline(in, part, '-')) parts.push_back(part);
  if (parts.empty() || parts[0].size() < 2 || parts[0].size() > 3 || !allAlpha(parts[0]))
    return std::nullopt;
  const std::string language = common::lowercased(parts[0]);
  std::string region;
  for (size_t i = 1; i < parts.size(); ++i) {
    const std::string& p = parts[i];
    if (p.size() == 4 && allAlpha(p) && i == 1) continue;  // script subtag, as in zh-Hans-CN
    if ((p.size() == 2 && allAlpha(p)) || (p.size() == 3 && allDigit(p))) {
      region = upper(p);
      break;
    }
    return std::nullopt;
  }
  if (region.empty()) {
    for (const auto& known : kKnownModels) {
      std::string locale = known.locale;
      if (locale.substr(0, locale.find('-')) == language) return locale;
    }
    return language;
  }
  return language + "-" + region;
}

const std::vector<std::string>& knownModelLocales() {
  static const std::vector<std::string> locales = [] {
    std::vector<std::string> out;
    for (const auto& known : kKnownModels) out.emplace_back(known.locale);
    return out;
  }();
  return locales;
}

std::optional<std::string> supportedLocale(const std::string& identifier) {
  auto canonical = canonicalLocale(identifier);
  if (!canonical) return std::nullopt;
  for (const auto& known : kKnownModels)
    if (*canonical == known.locale) return canonical;
  if (findModel(*canonical)) return canonical;
  return std::nullopt;
}

std::optional<ModelFiles> findModel(const std::string& canonical) {
  const std::string tag = common::lowercased(canonical);
  for (const auto& root : modelSearchPath()) {
    const fs::path dir = fs::path(root) / tag;
    if (!isDirectory(dir)) continue;
    const fs::path acoustic = dir / tag;
    if (!completeAcousticModel(acoustic)) continue;
    auto lm = firstFile(dir, {tag + ".lm.bin", tag + ".lm"});
    auto dict = firstFile(dir, {"cmudict-" + tag + ".dict", tag + ".dict"});
    if (!lm || !dict) continue;
    return ModelFiles{dir.string(), acoustic.string(), lm->string(), dict->string()};
  }
  return std::nullopt;
}

std::optional<std::string> distributionPackage(const std::string& canonical) {
  for (const auto& known : kKnownModels)
    if (canonical == known.locale && known.package) return std::string(known.package);
  return std::nullopt;
}

std::string installationAdvice(const std::string& canonical) {
  const std::string tag = common::lowercased(canonical);
  std::string advice;
  if (auto package = distributionPackage(canonical))
    advice = "install it with \"apt-get install " + *package + "\", or ";
  advice += "put the PocketSphinx model directory " + tag + "/ (acoustic model " + tag + "/, " +
            tag + ".lm.bin, cmudict-" + tag + ".dict) into one of: ";
  const auto roots = modelSearchPath();
  for (size_t i = 0; i < roots.size(); ++i) advice += (i ? ", " : "") + roots[i];
  return advice;
}

}  // namespace brimlow::pocketsphinx
