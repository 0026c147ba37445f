#include "stt-helper/sessions.h"

#include <algorithm>

namespace brimlow::stt {

const SessionConfiguration& SessionTable::open(const std::string& id, const std::string& locale,
                                               const std::vector<std::string>& vocabulary,
                                               bool echoCancellation) {
  SessionConfiguration configuration{locale, {}, echoCancellation};
  configuration.vocabulary.assign(
      vocabulary.begin(), vocabulary.begin() + static_cast<std::ptrdiff_t>(
                                                   std::min(vocabulary.size(), kMaxVocabulary)));
  return sessions_[id] = std::move(configuration);
}

const SessionConfiguration* SessionTable::find(const std::string& id) const {
  auto found = sessions_.find(id);
  return found == sessions_.end() ? nullptr : &found->second;
}

bool SessionTable::close(const std::string& id) {
  std::erase_if(suppressed_, [&](const ChannelKey& key) { return key.sessionId == id; });
  return sessions_.erase(id) > 0;
}

void SessionTable::clear() {
  sessions_.clear();
  suppressed_.clear();
}

void SessionTable::suppress(const ChannelKey& key) {
  suppressed_.insert(key);
}

bool SessionTable::unsuppress(const ChannelKey& key) {
  return suppressed_.erase(key) > 0;
}

bool SessionTable::isSuppressed(const ChannelKey& key) const {
  return suppressed_.contains(key);
}

}  // namespace brimlow::stt
