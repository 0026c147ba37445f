#include "stt-helper/analyzer/research.h"

#include <cstdlib>
#include <fstream>
#include <future>
#include <sstream>

#include <asio/post.hpp>
#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include "stt-helper/analyzer/analyzer_channel.h"

namespace brimlow::stt {

namespace {

speech::SpeechError researchError(int64_t code, std::string description) {
  return speech::SpeechError{kResearchErrorDomain, code, std::move(description)};
}

speech::SpeechError fileError(std::string description) {
  return speech::SpeechError{kResearchFileErrorDomain, 0, std::move(description)};
}

speech::SpeechError vocabularyError(std::string description) {
  return speech::SpeechError{kResearchVocabularyErrorDomain, 0, std::move(description)};
}

Expected<std::vector<std::string>, speech::SpeechError> readVocabulary(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (in) text << in.rdbuf();
  if (!in || in.bad()) return unexpected(vocabularyError("Cannot read vocabulary file " + path));
  auto json = nlohmann::json::parse(text.str(), nullptr, false);
  if (json.is_discarded() || !json.is_array())
    return unexpected(
        vocabularyError("Vocabulary file " + path + " is not a JSON array of strings"));
  std::vector<std::string> vocabulary;
  for (const auto& item : json) {
    if (!item.is_string())
      return unexpected(
          vocabularyError("Vocabulary file " + path + " is not a JSON array of strings"));
    vocabulary.push_back(item.get<std::string>());
  }
  return vocabulary;
}

// Runs `work` on the channel's strand and waits for its result, so every call on the channel is
// serialised with its results while this thread only drives.
template <class Work>
auto onStrand(const asio::any_io_executor& strand, Work work) -> decltype(work()) {
  std::packaged_task<decltype(work())()> task(std::move(work));
  auto result = task.get_future();
  asio::post(strand, std::move(task));
  return result.get();
}

}  // namespace

std::optional<speech::SpeechError> feedResearchFile(audio::AudioFile& file,
                                                    const ResearchAppend& append) {
  const double sampleRate = file.processingFormat().sampleRate;
  while (file.framePosition() < file.length()) {
    // A fresh buffer per chunk: the channel may queue it as it is.
    auto buffer = audio::PcmBuffer::make(file.processingFormat(), kResearchChunkFrames);
    if (!buffer) return researchError(kResearchBufferCode, "Cannot allocate research audio buffer");
    const double capturedAt = static_cast<double>(file.framePosition()) / sampleRate * 1000.0;
    if (auto error = file.read(*buffer, kResearchChunkFrames)) return fileError(error->description);
    if (buffer->frameLength() == 0) break;
    if (auto error = append(buffer, capturedAt)) return error;
  }
  return std::nullopt;
}

std::optional<speech::SpeechError> transcribeResearchFile(const std::string& path,
                                                          const std::string& vocabularyPath,
                                                          const std::string& locale,
                                                          const WriterPtr& writer,
                                                          speech::AnalysisService& service) {
  auto vocabulary = readVocabulary(vocabularyPath);
  if (!vocabulary) return vocabulary.error();
  if (vocabulary->size() > kResearchMaxVocabulary)
    return researchError(kResearchVocabularyTooLongCode, "Research vocabulary exceeds 100 terms");

  auto opened = audio::AudioFile::openForReading(path);
  if (!opened) return fileError(opened.error().description);
  audio::AudioFile& file = *opened.value();
  const audio::AudioFormat& format = file.processingFormat();
  if (format.channelCount != 1 || format.sampleRate != 16000.0)
    return researchError(kResearchWrongFormatCode, "Expected 16 kHz mono audio");

  // Declared before the channel so that the channel, and the engine threads it owns, are gone
  // before the pool is.
  asio::thread_pool pool(1);
  asio::any_io_executor strand = asio::make_strand(pool);
  auto created = onStrand(strand, [&] {
    return SpeechAnalyzerChannel::create(service, strand, "research", AudioSource::remote, locale,
                                         *vocabulary, writer);
  });
  if (!created) return created.error();
  std::shared_ptr<SpeechAnalyzerChannel> channel = created.value();
  auto cancelAnd = [&](speech::SpeechError error) {
    onStrand(strand, [&] { channel->cancel(); });
    return error;
  };

  auto fed = feedResearchFile(file, [&](const audio::PcmBufferPtr& buffer, double capturedAt) {
    auto error = onStrand(strand, [&] { return channel->append(buffer, capturedAt); });
    if (!error) return std::optional<speech::SpeechError>();
    return std::optional<speech::SpeechError>(speech::SpeechError{
        kResearchConversionErrorDomain, static_cast<int64_t>(error->kind), error->description()});
  });
  if (fed) return cancelAnd(*fed);

  std::promise<std::optional<speech::SpeechError>> finished;
  asio::post(strand, [&] {
    channel->finish([&](std::optional<speech::SpeechError> error) { finished.set_value(error); });
  });
  if (auto error = finished.get_future().get()) return cancelAnd(*error);

  writer->write(encode(ResearchComplete{vocabulary->size()}));
  return std::nullopt;
}

}  // namespace brimlow::stt
