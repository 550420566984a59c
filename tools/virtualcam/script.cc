#include "script.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <initializer_list>
#include <stdexcept>
#include <utility>

namespace virtualcam {

using nlohmann::json;

std::uint64_t Content::length() const {
  switch (kind) {
    case Kind::Bytes:
      return bytes.size();
    case Kind::Pattern:
      return size;
    case Kind::Path: {
      struct stat info;
      if (::stat(path.c_str(), &info) != 0) return 0;
      return static_cast<std::uint64_t>(info.st_size);
    }
  }
  return 0;
}

long long Content::read(std::uint64_t offset, char* out, std::size_t count) const {
  switch (kind) {
    case Kind::Bytes: {
      if (offset >= bytes.size()) return 0;
      std::size_t n = std::min<std::uint64_t>(count, bytes.size() - offset);
      bytes.copy(out, n, offset);
      return static_cast<long long>(n);
    }
    case Kind::Pattern: {
      if (offset >= size) return 0;
      std::size_t n = std::min<std::uint64_t>(count, size - offset);
      // Copies from a buffer holding whole periods of the pattern, so that
      // generated files stream at memory speed.
      static const std::string periods = [] {
        std::string text(251 * 4096, '\0');
        for (std::size_t i = 0; i < text.size(); ++i)
          text[i] = static_cast<char>(patternByte(i, 0));
        return text;
      }();
      const std::size_t usable = periods.size() - 251;
      for (std::size_t done = 0; done < n;) {
        std::size_t phase = (offset + done + seed) % 251;
        std::size_t take = std::min(n - done, usable);
        periods.copy(out + done, take, phase);
        done += take;
      }
      return static_cast<long long>(n);
    }
    case Kind::Path: {
      int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return -1;
      ssize_t n;
      do {
        n = ::pread(fd, out, count, static_cast<off_t>(offset));
      } while (n < 0 && errno == EINTR);
      ::close(fd);
      return n;
    }
  }
  return -1;
}

Outcome Script::outcome(const std::string& operation) const {
  auto found = results.find(operation);
  return found == results.end() ? Outcome{} : found->second;
}

static int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  throw std::invalid_argument("bad hex digit");
}

std::string decodeBytes(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  const std::string hex = value.at("hex").get<std::string>();
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  std::string bytes;
  bytes.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2)
    bytes.push_back(static_cast<char>(hexDigit(hex[i]) * 16 + hexDigit(hex[i + 1])));
  return bytes;
}

Content parseContent(const json& object) {
  Content content;
  if (object.contains("data")) {
    content.kind = Content::Kind::Bytes;
    content.bytes = object.at("data").get<std::string>();
  } else if (object.contains("hex")) {
    content.kind = Content::Kind::Bytes;
    content.bytes = decodeBytes(json{{"hex", object.at("hex")}});
  } else if (object.contains("path")) {
    content.kind = Content::Kind::Path;
    content.path = object.at("path").get<std::string>();
  } else {
    content.kind = Content::Kind::Pattern;
    content.size = object.value("size", std::uint64_t{0});
    content.seed = object.value("seed", std::uint32_t{0});
  }
  return content;
}

bool hasContent(const json& object) {
  return object.contains("data") || object.contains("hex") || object.contains("path") ||
         object.contains("size");
}

static Outcome parseOutcome(const json& value) {
  Outcome outcome;
  if (value.is_number()) {
    outcome.result = value.get<int>();
  } else {
    outcome.result = value.at("result").get<int>();
    outcome.afterBytes = value.value("afterBytes", std::uint64_t{0});
    if (value.contains("text")) outcome.text = decodeBytes(value.at("text"));
  }
  return outcome;
}

std::string CaptureSpec::nameTemplate(bool inRam) const {
  const std::optional<std::string>& own = inRam ? ramName : cardName;
  return own.value_or(name.value_or(inRam ? "capt####.jpg" : "IMG_####.JPG"));
}

std::uint64_t CaptureSpec::firstNumber(bool inRam) const {
  return counterStart.value_or(inRam ? 0 : 1);
}

static std::optional<std::string> optionalBytes(const json& object, const char* key) {
  if (!object.contains(key)) return std::nullopt;
  return decodeBytes(object.at(key));
}

static LiveView parsePreview(const json& document) {
  LiveView preview;
  if (!document.contains("preview")) return preview;
  const json& given = document.at("preview");
  if (given.is_boolean()) {
    preview.enabled = given.get<bool>();
    return preview;
  }
  preview.enabled = given.value("enabled", true);
  preview.width = given.value("width", preview.width);
  preview.height = given.value("height", preview.height);
  if (preview.width < 1 || preview.height < 1 || preview.width > 65535 || preview.height > 65535)
    throw std::invalid_argument("preview size out of range");
  preview.frameBytes = given.value("frameBytes", std::size_t{0});
  preview.frameMs = given.value("frameMs", preview.frameMs);
  preview.startMs = given.value("startMs", 0.0);
  preview.busy = given.value("busy", 0);
  if (given.contains("busyMs")) preview.busyMs = given.at("busyMs").get<double>();
  return preview;
}

// The value named by the string `key` of `document` among `choices`; the
// first choice when the key is absent. Throws on any other name.
template <class Choice>
static Choice parseChoice(const json& document, const char* key,
                          std::initializer_list<std::pair<const char*, Choice>> choices) {
  if (!document.contains(key)) return choices.begin()->second;
  std::string name = document.at(key).get<std::string>();
  for (const auto& [text, value] : choices)
    if (name == text) return value;
  throw std::invalid_argument("unknown " + std::string(key) + " " + name);
}

// Sets the value of every "serialnumber" widget among `widgets` (at any
// depth); false when there is none.
static bool setSerialWidgets(json& widgets, const json& serial) {
  bool found = false;
  for (json& described : widgets) {
    if (described.value("name", json()) == "serialnumber") {
      described["value"] = serial;
      found = true;
    }
    if (auto children = described.find("children"); children != described.end())
      found = setSerialWidgets(*children, serial) || found;
  }
  return found;
}

Script parseScript(const json& document) {
  Script script;
  if (!document.is_object()) throw std::invalid_argument("script is not an object");
  for (const json& entry : document.value("card", json::array())) {
    CardFile file;
    file.folder = decodeBytes(entry.at("folder"));
    file.name = decodeBytes(entry.at("name"));
    file.content = parseContent(entry);
    file.mtime = entry.value("mtime", std::int64_t{0});
    file.result = entry.value("result", 0);
    file.failAfter = entry.value("failAfter", std::uint64_t{0});
    script.card.push_back(std::move(file));
  }
  for (const json& folder : document.value("folders", json::array()))
    script.folders.push_back(decodeBytes(folder));
  if (auto results = document.find("results"); results != document.end())
    for (auto it = results->begin(); it != results->end(); ++it)
      script.results[it.key()] = parseOutcome(it.value());
  script.unpluggedResult = document.value("unpluggedResult", -7);
  script.config = document.contains("config") ? document.at("config") : defaultConfig();
  // The body's serial number, as ptp2 serves it from the device information
  // it read at opening: a read-only text widget.
  if (auto serial = document.find("serial"); serial != document.end() && script.config.is_array())
    if (!setSerialWidgets(script.config, *serial))
      script.config.push_back({{"type", "section"},
                               {"name", "status"},
                               {"children", json::array({{{"type", "text"},
                                                          {"name", "serialnumber"},
                                                          {"value", *serial},
                                                          {"readonly", true}}})}});
  script.paddingWidgets = document.value("paddingWidgets", std::size_t{0});
  if (script.config.is_array() && script.paddingWidgets > 0) {
    json padding = json::array();
    for (std::size_t i = 1; i <= script.paddingWidgets; ++i) {
      std::string name = "padding" + std::to_string(i);
      padding.push_back({{"type", "text"}, {"name", name}, {"value", name}});
    }
    script.config.push_back({{"type", "section"}, {"name", "padding"}, {"children", padding}});
  }
  script.singleConfig = parseChoice<SingleConfig>(document, "singleConfig",
                                                  {{"native", SingleConfig::Native},
                                                   {"unset", SingleConfig::Unset},
                                                   {"notSupported", SingleConfig::NotSupported}});
  script.treeWidgetDelayMs = document.value("treeWidgetDelayMs", 0.0);
  script.singleConfigDelayMs = document.value("singleConfigDelayMs", 0.0);
  script.capture.content.size = 4096;
  if (document.contains("capture")) {
    const json& capture = document.at("capture");
    CaptureSpec& planned = script.capture;
    // Photos in camera memory are named as libgphoto2's ptp2 driver names
    // them: capt0000.jpg, capt0001.jpg, ... in the root folder.
    planned.ram = capture.value("ram", false);
    if (capture.contains("folder")) planned.folder = decodeBytes(capture.at("folder"));
    planned.name = optionalBytes(capture, "name");
    planned.ramName = optionalBytes(capture, "ramName");
    planned.cardName = optionalBytes(capture, "cardName");
    if (capture.contains("counterStart"))
      planned.counterStart = capture.at("counterStart").get<std::uint64_t>();
    if (hasContent(capture)) planned.content = parseContent(capture);
    planned.triggerDelayMs = capture.value("triggerDelayMs", 0);
    planned.completeEvent = capture.value("completeEvent", false);
    if (capture.contains("pairExtension"))
      planned.pairExtension = decodeBytes(capture.at("pairExtension"));
    planned.pairDelayMs = capture.value("pairDelayMs", 0);
    planned.busy = capture.value("busy", 0);
    planned.cardOnlyWaitMs = capture.value("cardOnlyWaitMs", planned.cardOnlyWaitMs);
  }
  script.eventRoad = parseChoice<EventRoad>(document, "eventRoad",
                                            {{"interrupt", EventRoad::Interrupt},
                                             {"polling", EventRoad::Polling},
                                             {"trap", EventRoad::Trap}});
  script.requestMs = document.value("requestMs", 0.0);
  script.trapMs = document.value("trapMs", 300.0);
  script.throttle = document.value("throttle", std::uint64_t{0});
  script.chunkSize = document.value("chunkSize", std::size_t{1} << 20);
  if (script.chunkSize == 0) script.chunkSize = 1;
  script.appendFailureResult = std::min(0, document.value("appendFailureResult", 0));
  if (document.contains("vendor"))
    script.vendor = parseChoice<Vendor>(
        document, "vendor",
        {{"nikon", Vendor::Nikon}, {"canon", Vendor::Canon}, {"sony", Vendor::Sony}});
  script.setConfigBusy = document.value("setConfigBusy", 0);
  script.writeEvents = document.value("writeEvents", true);
  script.preview = parsePreview(document);
  return script;
}

json defaultConfig() {
  // default_config.json, which the harness reads too, built in as text.
  static const char* const kTree =
#include "default_config.inc"
      ;
  return json::parse(kTree);
}

std::size_t valueWidgetCount(const json& widgets) {
  std::size_t count = 0;
  if (!widgets.is_array()) return 0;
  for (const json& described : widgets) {
    std::string type = described.value("type", std::string());
    if (type == "window" || type == "section") {
      count += valueWidgetCount(described.value("children", json::array()));
    } else {
      ++count;
    }
  }
  return count;
}

}  // namespace virtualcam
