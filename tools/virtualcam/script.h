// The virtual camera's script: what the card holds, how each camera call
// answers, and the configuration tree. Tests write it as JSON into the folder
// that VIRTUALCAM_DIR names; the camera driver reads it again whenever the
// file changes. README.md describes the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace virtualcam {

// The bytes of one file on the card: a literal string, a file on disk that
// is read piece by piece, or a generated pattern of any size.
struct Content {
  enum class Kind { Pattern, Bytes, Path };
  Kind kind = Kind::Pattern;
  std::string bytes;       // Kind::Bytes
  std::string path;        // Kind::Path
  std::uint64_t size = 0;  // Kind::Pattern
  std::uint32_t seed = 0;  // Kind::Pattern

  // Current size; a Path whose file cannot be read has size 0.
  std::uint64_t length() const;
  // Copies up to `count` bytes from `offset` into `out`; returns how many
  // were copied (0 at the end), or -1 when a Path file cannot be read.
  long long read(std::uint64_t offset, char* out, std::size_t count) const;

  bool operator==(const Content&) const = default;
};

// Byte `offset` of the pattern with `seed`: (offset + seed) modulo 251.
// A prime cycle makes shifted or swapped blocks show up in comparisons.
inline unsigned char patternByte(std::uint64_t offset, std::uint32_t seed) {
  return static_cast<unsigned char>((offset + seed) % 251);
}

struct CardFile {
  std::string folder;
  std::string name;
  Content content;
  std::int64_t mtime = 0;
  // A download of this file fails with `result` after `failAfter` bytes
  // (0 when `result` is 0).
  int result = 0;
  std::uint64_t failAfter = 0;

  bool operator==(const CardFile&) const = default;
};

// The scripted result of one camera operation. `afterBytes` only matters for
// "file_get": that many bytes are written before the failure. `text` is what
// the driver reports with gp_context_error before it returns the failure, as
// ptp2 explains a refused capture ("Perhaps no focus?").
struct Outcome {
  int result = 0;
  std::uint64_t afterBytes = 0;
  std::string text;
};

// What gp_camera_capture and gp_camera_trigger_capture create. With `ram`
// the photo stays in the camera's memory: it is handed to libgphoto2's cache
// under folder "/" when it is announced, and never put on the card. A
// capture target setting in the tree, when there is one, decides instead of
// `ram` (README.md, "Capture target").
struct CaptureSpec {
  std::string folder = "/store_00010001/DCIM/100VCAM";  // where card photos go
  // Name templates (each run of '#' is a counter): `name` for either place,
  // `ramName` and `cardName` for one of them; the defaults are ptp2's
  // capt####.jpg from 0 in memory and IMG_####.JPG from 1 on the card.
  std::optional<std::string> name, ramName, cardName;
  std::optional<std::uint64_t> counterStart;
  Content content;
  int triggerDelayMs = 0;
  bool completeEvent = false;  // a trigger also queues GP_EVENT_CAPTURE_COMPLETE
  bool ram = false;
  // A trigger that makes a RAW+JPEG pair: the second file has the first
  // one's stem and this extension, and is announced `pairDelayMs` later.
  std::string pairExtension;
  int pairDelayMs = 0;
  // The next `busy` captures and triggers answer GP_ERROR_CAMERA_BUSY.
  int busy = 0;
  // How long a Sony capture waits for a photo in memory that a capture
  // target of "card" never brings (ptp2 gives up after 35 s).
  double cardOnlyWaitMs = 35000;

  std::string nameTemplate(bool inRam) const;
  std::uint64_t firstNumber(bool inRam) const;
};

// Which of ptp2's vendor roads the camera plays where they differ in what the
// host sees: settings writes and live view (README.md, "Settings writes",
// "Live view").
enum class Vendor {
  Nikon,
  Canon,  // Canon EOS
  Sony,
};

// Live view: what gp_camera_capture_preview returns.
struct LiveView {
  bool enabled = true;  // false: the body has no live view
  int width = 640;
  int height = 424;
  std::size_t frameBytes = 0;  // frames are padded to this size
  double frameMs = 1000.0 / 30;
  double startMs = 0;            // what turning live view on takes (the mirror going up)
  int busy = 0;                  // the next `busy` calls find the camera busy
  std::optional<double> busyMs;  // what a busy call takes; default by vendor
};

// How the driver offers single-setting access.
enum class SingleConfig {
  Native,        // its own get_single_config, which builds the one widget
  Unset,         // none: libgphoto2 fetches the whole tree for each call
  NotSupported,  // one that answers GP_ERROR_NOT_SUPPORTED
};

// How a wait for camera events behaves: the roads of libgphoto2's ptp2
// driver (README.md, "Event roads").
enum class EventRoad {
  Interrupt,  // looks at the interrupt pipe, sends nothing; an event ends it
  Polling,    // one request a round, libgphoto2's back-off between rounds
  Trap,       // Polling, and each round also takes trapMs until an event came
};

struct Script {
  std::vector<CardFile> card;
  std::vector<std::string> folders;  // folders that exist even without files
  std::map<std::string, Outcome> results;
  // Result of every camera call once the USB device has been unplugged;
  // 0 turns the unplug check off.
  int unpluggedResult = -7;
  // The configuration tree: an array of widgets, or null for "no tree",
  // with `paddingWidgets` text widgets appended in a section "padding".
  nlohmann::json config;
  std::size_t paddingWidgets = 0;
  SingleConfig singleConfig = SingleConfig::Native;  // taken at camera_init
  // What configuration access costs, as on a camera that is asked for each
  // property by itself: a whole-tree fetch waits this long for every value
  // widget of the tree, a single access of a name the tree holds once.
  double treeWidgetDelayMs = 0;
  double singleConfigDelayMs = 0;
  CaptureSpec capture;
  EventRoad eventRoad = EventRoad::Interrupt;
  double requestMs = 0;        // what one request of the polling roads takes
  double trapMs = 300;         // what the trap adds to a round
  std::uint64_t throttle = 0;  // bytes per second, 0 = full speed
  std::size_t chunkSize = 1 << 20;
  // What a download returns when a gp_file_append into the caller's file
  // fails; 0 passes on the append's own result.
  int appendFailureResult = 0;
  std::optional<Vendor> vendor;  // absent: Sony for Sony models, else Nikon
  int setConfigBusy = 0;         // the next settings writes find the camera busy
  bool writeEvents = true;       // an accepted write is reported by an event
  LiveView preview;

  Outcome outcome(const std::string& operation) const;
};

// Text given as a JSON string (its UTF-8 bytes) or as {"hex": "..."} (any
// bytes). Throws nlohmann::json exceptions or std::invalid_argument.
std::string decodeBytes(const nlohmann::json& value);
// The content keys of a card file, event or capture plan: "data", "hex",
// "path", or "size" with "seed". No key means an empty file.
Content parseContent(const nlohmann::json& object);
// Whether `object` has one of the content keys.
bool hasContent(const nlohmann::json& object);
Script parseScript(const nlohmann::json& document);
// The built-in tree used when the script has no "config" key.
nlohmann::json defaultConfig();
// The widgets of `widgets` (an array, at any depth) that hold a value: all
// but windows and sections. A whole-tree fetch costs one request each.
std::size_t valueWidgetCount(const nlohmann::json& widgets);

}  // namespace virtualcam
