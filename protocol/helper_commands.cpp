#include "protocol/helper_commands.h"

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

namespace brimlow::stt {

const char* toString(AudioSource source) {
  return source == AudioSource::remote ? "remote" : "self";
}

std::optional<AudioSource> audioSourceFromString(std::string_view text) {
  if (text == "remote") return AudioSource::remote;
  if (text == "self") return AudioSource::selfAudio;
  return std::nullopt;
}

namespace {

using nlohmann::json;

struct DecodeError {
  std::string message;
};

std::string typeName(const json& value) {
  if (value.is_number_integer() || value.is_number_unsigned()) return "an integer";
  if (value.is_number_float()) return "a number";
  return std::string("a ") + value.type_name();
}

[[noreturn]] void mismatch(const char* key, const char* expected, const json& found) {
  throw DecodeError{std::string("Expected ") + expected + " for key \"" + key + "\" but found " +
                    typeName(found)};
}

// The value under `key`, or nullptr when the key is absent or null.
const json* field(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

std::optional<std::string> stringField(const json& object, const char* key) {
  const json* value = field(object, key);
  if (!value) return std::nullopt;
  if (!value->is_string()) mismatch(key, "a string", *value);
  return value->get<std::string>();
}

std::optional<double> numberField(const json& object, const char* key) {
  const json* value = field(object, key);
  if (!value) return std::nullopt;
  if (!value->is_number()) mismatch(key, "a number", *value);
  return value->get<double>();
}

std::optional<int64_t> int64Field(const json& object, const char* key) {
  const json* value = field(object, key);
  if (!value) return std::nullopt;
  if (value->is_number_integer() && !value->is_number_unsigned()) return value->get<int64_t>();
  if (value->is_number_unsigned()) {
    uint64_t u = value->get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      throw DecodeError{std::string("Number ") + value->dump() + " for key \"" + key +
                        "\" does not fit a 64-bit signed integer"};
    return static_cast<int64_t>(u);
  }
  if (value->is_number_float()) {
    // A number written as 3.0 or 1e3 is whole; 3.5 is not.
    double d = value->get<double>();
    if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0)
      return static_cast<int64_t>(d);
    throw DecodeError{std::string("Number ") + value->dump() + " for key \"" + key +
                      "\" is not a 64-bit signed integer"};
  }
  mismatch(key, "an integer", *value);
}

std::optional<bool> boolField(const json& object, const char* key) {
  const json* value = field(object, key);
  if (!value) return std::nullopt;
  if (!value->is_boolean()) mismatch(key, "a boolean", *value);
  return value->get<bool>();
}

std::optional<std::vector<std::string>> stringArrayField(const json& object, const char* key) {
  const json* value = field(object, key);
  if (!value) return std::nullopt;
  if (!value->is_array()) mismatch(key, "an array of strings", *value);
  std::vector<std::string> out;
  out.reserve(value->size());
  for (const auto& item : *value) {
    if (!item.is_string()) mismatch(key, "an array of strings", item);
    out.push_back(item.get<std::string>());
  }
  return out;
}

std::string cleanParseMessage(const std::string& what) {
  // "[json.exception.parse_error.101] parse error at ..." -> "parse error at ..."
  auto close = what.find("] ");
  std::string text = close == std::string::npos ? what : what.substr(close + 2);
  // The parser quotes everything it read of the bad token, which for an unterminated string is
  // the rest of the line, megabytes of it maybe; the start says enough.
  constexpr size_t kQuoted = 40;
  const std::string lastRead = "; last read: '";
  if (auto quote = text.find(lastRead); quote != std::string::npos) {
    size_t cut = quote + lastRead.size() + kQuoted;
    if (cut + 1 < text.size()) {
      while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
      text = text.substr(0, cut) + "...'";
    }
  }
  return "The data is not valid JSON: " + text;
}

}  // namespace

Expected<HelperCommand, std::string> decodeHelperCommand(std::string_view line) {
  // The parser takes a NUL byte for the end of the text, so a line with a valid command before
  // a NUL would pass whole; no JSON text holds a raw NUL anywhere.
  if (auto nul = line.find('\0'); nul != std::string_view::npos)
    return unexpected(cleanParseMessage("] parse error at byte " + std::to_string(nul + 1) +
                                        ": a NUL byte is not allowed in JSON text"));
  json object;
  try {
    object = json::parse(line.begin(), line.end());
  } catch (const json::exception& e) {
    return unexpected(cleanParseMessage(e.what()));
  }
  if (!object.is_object())
    return unexpected(std::string("Expected a JSON object but found ") + typeName(object));
  try {
    HelperCommand command;
    auto type = object.find("type");
    if (type == object.end() || type->is_null())
      throw DecodeError{"No value associated with key \"type\""};
    if (!type->is_string()) mismatch("type", "a string", *type);
    command.type = type->get<std::string>();
    command.sessionId = stringField(object, "sessionId");
    if (auto source = stringField(object, "source")) {
      command.source = audioSourceFromString(*source);
      if (!command.source)
        throw DecodeError{"Cannot initialize AudioSource from invalid String value \"" + *source +
                          "\" for key \"source\""};
    }
    command.locale = stringField(object, "locale");
    command.vocabulary = stringArrayField(object, "vocabulary");
    command.sequence = int64Field(object, "sequence");
    command.capturedAt = numberField(object, "capturedAt");
    command.pcmBase64 = stringField(object, "pcmBase64");
    command.suppressed = boolField(object, "suppressed");
    command.sentAt = numberField(object, "sentAt");
    command.echoCancellation = boolField(object, "echoCancellation");
    return command;
  } catch (const DecodeError& e) {
    return unexpected(e.message);
  }
}

}  // namespace brimlow::stt
