// Locale matching, the model search path, asset status and installation requests.
#include "engines/pocketsphinx/models.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "engines/pocketsphinx/services.h"
#include "tests/pocketsphinx/sphinx_test_support.h"

namespace brimlow::pocketsphinx {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::makeModelDirectory;
using testing::ModelPathScope;
using testing::TempDir;

TEST(LocaleMatching, SpellingsOfOneLocaleAreEquivalent) {
  for (const char* id : {"en-US", "en_US", "en-us", "EN_us", "en", "en_US.UTF-8", "en_US@euro"})
    EXPECT_EQ(canonicalLocale(id), "en-US") << id;
  EXPECT_EQ(canonicalLocale("zh-Hans-CN"), "zh-CN");
  EXPECT_EQ(canonicalLocale("ja_JP"), "ja-JP");
  EXPECT_EQ(canonicalLocale("es-419"), "es-419");
  EXPECT_EQ(canonicalLocale("fr"), "fr-FR");
  EXPECT_EQ(canonicalLocale("ca"), "ca");  // no published model: the language stays bare
}

TEST(LocaleMatching, NonLocalesHaveNoCanonicalForm) {
  for (const char* id : {"", "e", "english", "en-USA-x", "12-US", "en--US"})
    EXPECT_EQ(canonicalLocale(id), std::nullopt) << id;
}

TEST(ModelSearchPath, SettingsRootsThenDistribution) {
  speech::EngineSettings settings;
  settings.modelRoots = {"/a", "/b", "/xdg/brimlow/models"};
  configureEngine(settings);
  EXPECT_THAT(modelSearchPath(),
              ElementsAre("/a", "/b", "/xdg/brimlow/models", "/usr/share/pocketsphinx/model"));
  configureEngine({});
  EXPECT_THAT(modelSearchPath(), ElementsAre("/usr/share/pocketsphinx/model"));
}

TEST(ModelSearchPath, FindsCompleteModelsOnly) {
  TempDir root;
  ModelPathScope scope(root.path());
  EXPECT_EQ(findModel("fr-FR"), std::nullopt);

  makeModelDirectory(root.path(), "fr-fr");
  auto model = findModel("fr-FR");
  ASSERT_TRUE(model);
  EXPECT_EQ(model->directory, (root.path() / "fr-fr").string());
  EXPECT_EQ(model->acousticModel, (root.path() / "fr-fr" / "fr-fr").string());
  EXPECT_EQ(model->languageModel, (root.path() / "fr-fr" / "fr-fr.lm.bin").string());
  EXPECT_EQ(model->dictionary, (root.path() / "fr-fr" / "fr-fr.dict").string());

  std::filesystem::remove(root.path() / "fr-fr" / "fr-fr.dict");
  EXPECT_EQ(findModel("fr-FR"), std::nullopt);
}

TEST(ModelSearchPath, AnAcousticModelWithoutAModelDefinitionIsNoModel) {
  // Loading such a model would end the process inside the engine.
  TempDir root;
  ModelPathScope scope(root.path());
  makeModelDirectory(root.path(), "fr-fr");
  std::ofstream(root.path() / "fr-fr" / "fr-fr" / "mdef") << "not a model definition\n";
  EXPECT_EQ(findModel("fr-FR"), std::nullopt);
  makeModelDirectory(root.path(), "de-de");
  std::filesystem::remove(root.path() / "de-de" / "de-de" / "sendump");
  EXPECT_EQ(findModel("de-DE"), std::nullopt);
}

TEST(ModelSearchPath, AModelThatFailsToLoadIsReportedNotFatal) {
  REQUIRE_ENGINE_DATA();
  TempDir root;
  ModelPathScope scope(root.path());
  makeModelDirectory(root.path(), "en-us", /*linkDistributionModel=*/true);
  std::filesystem::remove(root.path() / "en-us" / "en-us.lm.bin");
  std::ofstream(root.path() / "en-us" / "en-us.lm.bin") << "broken\n";
  auto analysis = makeAnalysisService();
  speech::AnalyzerResultSink sink{
      [](const speech::AnalysisResult&) {}, [](const std::optional<speech::SpeechError>&) {}, {}};
  auto analyzer =
      analysis->makeAnalyzer(analysis->makeTranscriber("en-US"), {}, audio::pcm16Mono16k(), sink);
  ASSERT_TRUE(analyzer);
  // The decoder is loaded when the first audio comes; the analysis ends with the failure.
  auto buffer = audio::PcmBuffer::make(audio::pcm16Mono16k(), 4000);
  buffer->setFrameLength(4000);
  (*analyzer)->append(buffer);
  auto error = (*analyzer)->finalizeAndFinishThroughEndOfInput();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kSphinxModelLoadFailedCode);
  // The call that failed, then the engine's own words.
  const auto lm = (root.path() / "en-us" / "en-us.lm.bin").string();
  EXPECT_EQ(error->description,
            "The PocketSphinx model for en-US could not be loaded: ps_init() failed for the model "
            "in " +
                (root.path() / "en-us").string() +
                ": Wrong magic header size number 62726f6b: " + lm + " is not a dump file");
}

TEST(ModelSearchPath, EarlierRootsWin) {
  TempDir first, second;
  makeModelDirectory(first.path(), "de-de");
  makeModelDirectory(second.path(), "de-de");
  speech::EngineSettings settings;
  settings.modelRoots = {second.path().string(), first.path().string()};
  configureEngine(settings);
  auto model = findModel("de-DE");
  configureEngine({});
  ASSERT_TRUE(model);
  EXPECT_EQ(model->directory, (second.path() / "de-de").string());
}

TEST(SupportedLocales, JapaneseHasNoModelUnlessOneIsInstalled) {
  TempDir root;
  ModelPathScope scope(root.path());
  auto analysis = makeAnalysisService();
  auto recognizers = makeRecognizerService();
  EXPECT_EQ(analysis->supportedLocale("ja-JP"), std::nullopt);
  EXPECT_EQ(analysis->supportedLocale("ja"), std::nullopt);
  EXPECT_EQ(analysis->makeTranscriber("ja-JP"), nullptr);
  EXPECT_EQ(recognizers->recognizer("ja-JP"), nullptr);

  // A model put on the search path by hand serves its own locale.
  makeModelDirectory(root.path(), "ja-jp");
  EXPECT_EQ(analysis->supportedLocale("ja_JP"), "ja-JP");
  auto transcriber = analysis->makeTranscriber("ja-JP");
  ASSERT_TRUE(transcriber);
  EXPECT_EQ(analysis->assetStatus(*transcriber), speech::AssetStatus::installed);
}

TEST(SupportedLocales, PublishedModelsAreSupportedInstalledOnesInstalled) {
  REQUIRE_ENGINE_DATA();
  TempDir root;
  ModelPathScope scope(root.path());
  auto analysis = makeAnalysisService();
  EXPECT_TRUE(analysis->transcriberIsAvailable());
  EXPECT_EQ(analysis->supportedLocale("en"), "en-US");
  EXPECT_EQ(analysis->supportedLocale("fr_FR"), "fr-FR");
  EXPECT_EQ(analysis->supportedLocale("en-GB"), std::nullopt);

  auto english = analysis->makeTranscriber("en-US");
  auto french = analysis->makeTranscriber("fr-FR");
  ASSERT_TRUE(english && french);
  EXPECT_EQ(english->localeIdentifier(), "en-US");
  EXPECT_EQ(analysis->assetStatus(*english), speech::AssetStatus::installed);
  EXPECT_EQ(analysis->assetStatus(*french), speech::AssetStatus::supported);
  EXPECT_EQ(analysis->bestAvailableAudioFormat(*english), audio::pcm16Mono16k());

  makeModelDirectory(root.path(), "fr-fr");
  EXPECT_EQ(analysis->assetStatus(*french), speech::AssetStatus::installed);
}

TEST(AssetInstallation, NothingToInstallWhenTheModelIsThere) {
  REQUIRE_ENGINE_DATA();
  auto analysis = makeAnalysisService();
  auto request = analysis->assetInstallationRequest(*analysis->makeTranscriber("en-US"));
  ASSERT_TRUE(request);
  EXPECT_EQ(*request, nullptr);
}

TEST(AssetInstallation, DownloadFailsNamingWhatToInstallAndWhere) {
  TempDir root;
  ModelPathScope scope(root.path());
  auto analysis = makeAnalysisService();
  auto french = analysis->makeTranscriber("fr-FR");
  auto request = analysis->assetInstallationRequest(*french);
  ASSERT_TRUE(request);
  ASSERT_NE(*request, nullptr);
  auto error = (*request)->downloadAndInstall();
  ASSERT_TRUE(error);
  EXPECT_EQ(error->domain, kErrorDomain);
  EXPECT_EQ(error->code, kSphinxInstallationUnavailableCode);
  EXPECT_THAT(error->description, HasSubstr("The PocketSphinx model for fr-FR cannot be "
                                            "downloaded on this system"));
  EXPECT_THAT(error->description, HasSubstr("fr-fr/ (acoustic model fr-fr/, fr-fr.lm.bin, "
                                            "cmudict-fr-fr.dict)"));
  EXPECT_THAT(error->description, HasSubstr(root.path().string()));

  // Installed by hand in the meantime: the request succeeds.
  makeModelDirectory(root.path(), "fr-fr");
  EXPECT_EQ((*request)->downloadAndInstall(), std::nullopt);
}

TEST(AssetInstallation, EnglishAdviceNamesTheDebianPackage) {
  EXPECT_THAT(installationAdvice("en-US"),
              HasSubstr("install it with \"apt-get install pocketsphinx-en-us\""));
  EXPECT_EQ(distributionPackage("fr-FR"), std::nullopt);
}

TEST(RecognizerService, AuthorizedWithoutAsking) {
  auto service = makeRecognizerService();
  EXPECT_EQ(service->authorizationStatus(), speech::kAuthorizationAuthorized);
  int calls = 0;
  speech::AuthorizationStatus status = -1;
  service->requestAuthorization([&](speech::AuthorizationStatus s) {
    ++calls;
    status = s;
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(status, speech::kAuthorizationAuthorized);
}

TEST(RecognizerService, OnDeviceSupportFollowsTheModelFiles) {
  REQUIRE_ENGINE_DATA();
  TempDir root;
  ModelPathScope scope(root.path());
  auto service = makeRecognizerService();
  auto english = service->recognizer("en_US");
  ASSERT_TRUE(english);
  EXPECT_EQ(english->localeIdentifier(), "en-US");
  EXPECT_TRUE(english->supportsOnDeviceRecognition());

  auto german = service->recognizer("de-DE");
  ASSERT_TRUE(german);
  EXPECT_FALSE(german->supportsOnDeviceRecognition());
  makeModelDirectory(root.path(), "de-de");
  EXPECT_TRUE(german->supportsOnDeviceRecognition());
}

}  // namespace
}  // namespace brimlow::pocketsphinx
