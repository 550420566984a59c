#include "protocol.h"

#include "json_text.h"
#include "session.h"

namespace {

constexpr std::string_view kKeyPrefix = "tethering.error.";

}  // namespace

const nlohmann::json& protocolFeatures() {
  static const nlohmann::json features = {"replies", "photos", "progress", "settings", "liveView"};
  return features;
}

bool speaksProtocol2() {
  return state.protocol >= 2;
}

std::optional<nlohmann::json> replyId(const nlohmann::json& command) {
  auto id = command.find("id");
  if (id == command.end()) return nlohmann::json();
  if (id->is_number_integer()) return *id;
  if (id->is_string() && id->get_ref<const std::string&>().size() <= kMaxIdBytes) return *id;
  return std::nullopt;
}

Answer failureAnswer() {
  const std::string& text = state.failure;
  if (text.starts_with(kKeyPrefix)) return Answer::refused(text, text, state.failureCode);
  if (state.failureCode) return Answer::refused(kCameraFailed, text, state.failureCode);
  return Answer::refused(kSystemFailed, text);
}

void writeReply(const nlohmann::json& id, const Answer& answer, bool always) {
  if (!speaksProtocol2() && !always) return;
  nlohmann::json line = answer.fields;
  line["reply"] = id;
  line["ok"] = !answer.refusal.has_value();
  if (answer.refusal) {
    nlohmann::json error = answer.refusal->details;
    error["key"] = answer.refusal->key;
    error["text"] = answer.refusal->text;
    if (answer.refusal->code) error["code"] = *answer.refusal->code;
    line["error"] = std::move(error);
  }
  writeLine(line);
}

void writeEvent(std::string_view name, nlohmann::json fields) {
  if (!speaksProtocol2()) return;
  fields["event"] = name;
  writeLine(fields);
}
