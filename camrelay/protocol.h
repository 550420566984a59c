// The host protocol's versions, and the two kinds of line that protocol 2
// adds beside the status line: a reply to each command, and events.
//
// A host that never says "hello" speaks protocol 1 and sees only status
// lines, exactly as before protocol 2 existed. One that sends
// {"command":"hello","protocol":2} gets, from then on until the process
// ends, one reply for every command line, in the order the commands came
// ({"reply":ID,"ok":true,...} or {"reply":ID,"ok":false,"error":{...}}),
// and an event line ({"event":NAME,...}) for what happens to each photo.
// Status lines stay as they are: a reply carries the key "reply", an event
// the key "event", and no status line has either.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// Longest "id" of a command, in bytes, that is copied into its reply.
inline constexpr std::size_t kMaxIdBytes = 256;

// What this build offers a host that says hello, each as it lands.
const nlohmann::json& protocolFeatures();

// Keys of the refusals of protocol 2; each is listed in docs/protocol.md.
inline constexpr const char* kInvalidLine = "tethering.error.invalidLine";
inline constexpr const char* kInvalidId = "tethering.error.invalidId";
inline constexpr const char* kUnknownCommand = "tethering.error.unknownCommand";
inline constexpr const char* kInvalidField = "tethering.error.invalidField";
inline constexpr const char* kUnsupportedProtocol = "tethering.error.unsupportedProtocol";
inline constexpr const char* kNoCamera = "tethering.error.noCamera";
inline constexpr const char* kCameraOpen = "tethering.error.cameraOpen";
inline constexpr const char* kCannotCapture = "tethering.error.cannotCapture";
inline constexpr const char* kCaptureBusy = "tethering.error.captureBusy";
inline constexpr const char* kFocusFailed = "tethering.error.focusFailed";
// Settings ("settings", "set"): the camera has no such setting; it cannot be
// changed now; the value is none of its choices (the refusal lists them);
// the value lies outside its range (the refusal gives min, max and step);
// the camera stayed busy for the whole retry; the camera refused the value
// for another reason (its driver's words in the text).
inline constexpr const char* kUnknownSetting = "tethering.error.unknownSetting";
inline constexpr const char* kReadOnly = "tethering.error.readOnly";
inline constexpr const char* kNotAChoice = "tethering.error.notAChoice";
inline constexpr const char* kOutOfRange = "tethering.error.outOfRange";
inline constexpr const char* kSettingBusy = "tethering.error.settingBusy";
inline constexpr const char* kSettingRefused = "tethering.error.settingRefused";
// Live view (live_view.h): the camera has none; the frame file's path is
// not absolute, or its folder is missing; live view is on already; the
// camera stayed busy, or answered with a failure, instead of a first frame.
inline constexpr const char* kNotSupported = "tethering.error.notSupported";
inline constexpr const char* kInvalidPath = "tethering.error.invalidPath";
inline constexpr const char* kLiveViewOn = "tethering.error.liveViewOn";
inline constexpr const char* kLiveViewBusy = "tethering.error.liveViewBusy";
inline constexpr const char* kLiveViewFailed = "tethering.error.liveViewFailed";
// A libgphoto2 failure that took the failure road: its text and code.
inline constexpr const char* kCameraFailed = "tethering.error.cameraFailed";
// The operating system's failure that took it (the disk, the folder).
inline constexpr const char* kSystemFailed = "tethering.error.systemFailed";

// Why a command was refused: a fixed key, a text for people, and
// libgphoto2's result where one applies; `details` are further fields of
// the reply's "error" object (the choices of a notAChoice refusal, say).
struct Refusal {
  std::string key;
  std::string text;
  std::optional<int> code;
  nlohmann::json details = nlohmann::json::object();
};

// What a command came to, for its reply: success with the reply's own
// fields, or a refusal.
struct Answer {
  nlohmann::json fields = nlohmann::json::object();
  std::optional<Refusal> refusal;
  // A status line follows the reply: the command changed what the host
  // sees, and the host should read the change after the answer.
  bool statusAfter = false;

  static Answer ok(nlohmann::json fields = nlohmann::json::object()) {
    return Answer{std::move(fields), std::nullopt};
  }
  static Answer refused(std::string key, std::string text, std::optional<int> code = std::nullopt,
                        nlohmann::json details = nlohmann::json::object()) {
    return Answer{nlohmann::json::object(),
                  Refusal{std::move(key), std::move(text), code, std::move(details)}};
  }
};

// Whether the host has said hello for protocol 2.
bool speaksProtocol2();

// The command's "id" as its reply carries it: the id copied as it came (a
// string of at most kMaxIdBytes bytes, or an integer), or null when the
// command has none. Nothing when the id is of another kind: such a command
// is refused with id null.
std::optional<nlohmann::json> replyId(const nlohmann::json& command);

// The answer to a failure that took the failure road (check, failSession):
// the key of a tethering.error. text, else kCameraFailed with libgphoto2's
// text and code, or kSystemFailed with the operating system's.
Answer failureAnswer();

// Writes the reply to the command with `id`. Written in protocol 2 only,
// except where `always` asks for it (the answer to "hello" itself).
void writeReply(const nlohmann::json& id, const Answer& answer, bool always = false);

// Writes {"event": name, ...fields} in protocol 2; nothing in protocol 1.
void writeEvent(std::string_view name, nlohmann::json fields);
