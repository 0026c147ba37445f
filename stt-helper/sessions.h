#pragma once
// The sessions a backend has open and the sources muted in them: the bookkeeping both backends
// keep alike, in one place. Used on the main queue only.
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "stt-helper/backend.h"

namespace brimlow::stt {

class SessionTable {
 public:
  // Opens `id` with its configuration, in place of one open under that id; at most
  // kMaxVocabulary vocabulary strings are kept, the first ones.
  const SessionConfiguration& open(const std::string& id, const std::string& locale,
                                   const std::vector<std::string>& vocabulary,
                                   bool echoCancellation);
  // The configuration of an open session, or null; valid until the session closes.
  const SessionConfiguration* find(const std::string& id) const;
  // Closes `id` and forgets which of its sources were muted; true when it was open.
  bool close(const std::string& id);
  // Drops every session and muted source.
  void clear();

  void suppress(const ChannelKey& key);
  // True when the source was muted.
  bool unsuppress(const ChannelKey& key);
  bool isSuppressed(const ChannelKey& key) const;

 private:
  std::map<std::string, SessionConfiguration> sessions_;
  std::unordered_set<ChannelKey, ChannelKeyHash> suppressed_;
};

}  // namespace brimlow::stt
