// A libgphoto2 camera driver whose "firmware" is a script that tests write.
//
// libgphoto2 loads this module from its camlibs folder like any other camera
// driver (camera_id, camera_abilities, camera_init). Everything around it is
// the real library: autodetection, the usb1 port driver opening and claiming
// the (umockdev-emulated) USB device, the filesystem cache, CameraFile
// handling. The script folder named by VIRTUALCAM_DIR holds:
//   script.json   what the card holds, the result of each operation, the
//                 configuration tree, capture behaviour, transfer speed
//                 (read again whenever the file changes);
//   events.jsonl  camera events, one JSON object a line; tests append, the
//                 driver consumes them in order and remembers its position
//                 in events.pos;
//   record.jsonl  what the driver did (init, exit, capture, downloads...),
//                 appended one JSON object a line;
//   state.json    the camera's own state, which outlives the process: the
//                 settings written or turned, live view, busy answers given.
// A sub-folder named after the port ("usb-001-005" for "usb:001,005"), when
// present, replaces the folder for the camera on that port.

#include <dirent.h>
#include <fcntl.h>
#include <gphoto2/gphoto2-library.h>
#include <gphoto2/gphoto2-port-info-list.h>
#include <gphoto2/gphoto2-result.h>
#include <gphoto2/gphoto2-setting.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "jpeg_frame.h"
#include "script.h"
#include "settings.h"
#include "state.h"

#define VIRTUALCAM_EXPORT extern "C" __attribute__((visibility("default")))

using nlohmann::json;
using virtualcam::CardFile;
using virtualcam::Content;
using virtualcam::Outcome;
using virtualcam::Script;
using virtualcam::Vendor;

namespace {

struct Model {
  const char* name;
  int vendor;
  int product;
  int operations;
};

// Every model has live view (the script can take it away) and settings.
constexpr int kConfig = GP_OPERATION_CONFIG | GP_OPERATION_CAPTURE_PREVIEW;
constexpr int kCapture = GP_OPERATION_CAPTURE_IMAGE;
constexpr int kTrigger = GP_OPERATION_TRIGGER_CAPTURE;
constexpr int kSonyVendor = 0x054C;

// Each model matches its own USB vendor and product id; the device's
// interface is vendor-specific, so no generic class driver claims it too.
const Model kModels[] = {
    {"Virtual Camera Trigger", 0x1209, 0x0001, kConfig | kCapture | kTrigger},
    {"Virtual Camera Capture", 0x1209, 0x0002, kConfig | kCapture},
    {"Virtual Camera Viewer", 0x1209, 0x0003, kConfig},
    {"Virtual Camera Sony", kSonyVendor, 0x0FF0, kConfig | kTrigger},
    {"Virtual Camera Sony Capture", kSonyVendor, 0x0FF1, kConfig | kCapture},
};

using Clock = std::chrono::steady_clock;

// A photo that the camera keeps only in its memory (a capture with the
// default capture target of Nikon, Canon EOS and Sony cameras). libgphoto2's
// ptp2 driver fetches such a photo when it announces it and hands it to
// libgphoto2's filesystem cache, in the root folder "/".
struct RamPhoto {
  std::string name;
  Content content;
  std::int64_t mtime = 0;
};

struct PendingEvent {
  Clock::time_point due;
  CameraEventType type;
  std::string folder;
  std::string name;
  std::optional<RamPhoto> ram;  // handed over when the event is delivered
  // A property-changed event of this setting, its text made when it is
  // delivered (GP_EVENT_UNKNOWN).
  std::string property;
};

}  // namespace

struct _CameraPrivateLibrary {
  std::string dir;   // script folder, "" when VIRTUALCAM_DIR is unset
  std::string port;  // libgphoto2 port path
  std::string model;
  std::string sysfsDevice;  // the USB device's sysfs folder, "" if not found
  Script script;
  bool haveScript = false;
  struct stat scriptStat {};
  // Card changes that libgphoto2's filesystem has not learnt yet: files to
  // append, or a reset after a file or folder was removed or rewritten.
  bool resetPending = false;
  std::vector<std::pair<std::string, std::string>> appendPending;
  std::vector<CardFile> added;  // files created by captures, triggers, events
  // Photos handed to libgphoto2's cache, oldest first; the cache still holds
  // the data of the newest `cacheHolds` of them (-1: none handed over yet).
  std::vector<RamPhoto> ram;
  int cacheHolds = -1;
  std::deque<PendingEvent> pending;
  // The counters of capture names in memory and on the card, started at
  // the first capture to each.
  std::optional<std::uint64_t> ramCounter, cardCounter;
  bool eventCame = false;  // an event was delivered since the camera opened
  bool sonyModel = false;  // a model with Sony's USB vendor id
  // When the last live view frame was delivered, if one was.
  std::optional<Clock::time_point> lastFrame;
};

namespace {

using Private = _CameraPrivateLibrary;

std::string pathIn(const Private& pl, const char* name) {
  return pl.dir + "/" + name;
}

// Seconds on the steady clock (CLOCK_MONOTONIC, as Python's time.monotonic).
double steadySeconds(Clock::time_point at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

// Appends one line to record.jsonl, with the time it happened ("at") unless
// the entry has one. Names that are not UTF-8 are written with replacement
// characters; the record is for assertions, not for bytes.
void record(const Private& pl, json entry) {
  if (pl.dir.empty()) return;
  if (!entry.contains("at")) entry["at"] = steadySeconds(Clock::now());
  entry["pid"] = static_cast<int>(::getpid());
  entry["port"] = pl.port;
  entry["model"] = pl.model;
  std::string line = entry.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
  int fd =
      ::open(pathIn(pl, "record.jsonl").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  virtualcam::writeAll(fd, line);
  ::close(fd);
}

std::string normalFolder(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (folder.empty()) folder = "/";
  return folder;
}

std::string parentOf(const std::string& folder) {
  std::size_t slash = folder.rfind('/');
  if (slash == 0 || slash == std::string::npos) return "/";
  return folder.substr(0, slash);
}

// Every file on the card, newest first: created files, then scripted ones.
template <typename Visit>
void forEachFile(const Private& pl, Visit visit) {
  for (auto it = pl.added.rbegin(); it != pl.added.rend(); ++it)
    if (!visit(*it)) return;
  for (const CardFile& file : pl.script.card)
    if (!visit(file)) return;
}

const CardFile* findFile(const Private& pl, const std::string& folder, const std::string& name) {
  const CardFile* found = nullptr;
  std::string wanted = normalFolder(folder);
  forEachFile(pl, [&](const CardFile& file) {
    if (file.name == name && normalFolder(file.folder) == wanted) {
      found = &file;
      return false;
    }
    return true;
  });
  return found;
}

std::set<std::string> allFolders(const Private& pl) {
  std::set<std::string> folders{"/"};
  auto addWithParents = [&](std::string folder) {
    for (folder = normalFolder(folder); folder != "/"; folder = parentOf(folder))
      folders.insert(folder);
  };
  forEachFile(pl, [&](const CardFile& file) {
    addWithParents(file.folder);
    return true;
  });
  for (const std::string& folder : pl.script.folders) addWithParents(folder);
  return folders;
}

// libgphoto2's filesystem keeps what it has learnt of the card (folder and
// file lists, file info) and the photos handed to its cache. A reset drops
// all of it, so the driver resets only when something it learnt became
// wrong (a file or folder removed, a file rewritten); new files are
// appended. gp_filesystem_append creates a missing folder correctly only
// when its parent is known, so a file in a deeper new folder, or a new empty
// folder, resets too.

// Notes a file that is about to join the card (a capture, an event).
void noteNewFile(Private& pl, const CardFile& file) {
  std::string folder = normalFolder(file.folder);
  std::set<std::string> folders = allFolders(pl);
  bool reachable = folders.count(folder) || folders.count(parentOf(folder));
  if (findFile(pl, folder, file.name) || !reachable)
    pl.resetPending = true;
  else
    pl.appendPending.emplace_back(folder, file.name);
}

// Replaces the script and notes how the card changed with it.
void adoptScript(Private& pl, Script next) {
  using Key = std::pair<std::string, std::string>;
  auto byKey = [](const std::vector<CardFile>& card) {
    std::map<Key, const CardFile*> files;  // the first entry of a name wins, as in findFile
    for (const CardFile& file : card)
      files.emplace(Key{normalFolder(file.folder), file.name}, &file);
    return files;
  };
  std::set<std::string> before = allFolders(pl);
  Script previous = std::move(pl.script);
  pl.script = std::move(next);
  std::set<std::string> after = allFolders(pl);
  auto old = byKey(previous.card);
  auto now = byKey(pl.script.card);
  bool reset = false;
  for (const auto& [key, file] : old) {
    auto found = now.find(key);
    if (found == now.end() || !(*found->second == *file)) reset = true;
  }
  std::set<std::string> created;  // new folders that an appended file creates
  std::vector<Key> appends;
  for (const auto& [key, file] : now) {
    if (old.count(key)) continue;
    if (!before.count(key.first)) {
      if (!before.count(parentOf(key.first))) reset = true;
      created.insert(key.first);
    }
    appends.push_back(key);
  }
  for (const std::string& folder : before)
    if (!after.count(folder)) reset = true;
  for (const std::string& folder : after)
    if (!before.count(folder) && !created.count(folder)) reset = true;
  if (reset)
    pl.resetPending = true;
  else
    pl.appendPending.insert(pl.appendPending.end(), appends.begin(), appends.end());
}

// Reads script.json again when it changed (tests replace it by rename, so
// the inode changes with every version). A missing file is the empty script;
// a file that does not parse keeps the previous script and is recorded.
void reloadScript(Private& pl) {
  struct stat now {};
  std::string path = pathIn(pl, "script.json");
  bool exists = !pl.dir.empty() && ::stat(path.c_str(), &now) == 0;
  if (!exists) now = {};
  auto same = [](const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
  };
  if (pl.haveScript && same(now, pl.scriptStat)) return;
  try {
    Script next;
    if (exists) {
      std::ifstream in(path, std::ios::binary);
      next = virtualcam::parseScript(json::parse(in));
    } else {
      next = virtualcam::parseScript(json::object());
    }
    if (pl.haveScript)
      adoptScript(pl, std::move(next));
    else
      pl.script = std::move(next);  // libgphoto2 has learnt nothing yet
    pl.scriptStat = now;
    pl.haveScript = true;
  } catch (const std::exception& e) {
    record(pl, {{"op", "script_error"}, {"what", e.what()}});
    if (!pl.haveScript) {
      pl.script = virtualcam::parseScript(json::object());
      pl.haveScript = true;
    }
  }
}

// Finds the sysfs folder of the USB device behind "usb:BBB,DDD".
std::string findSysfsDevice(const std::string& port) {
  unsigned bus = 0, address = 0;
  if (std::sscanf(port.c_str(), "usb:%u,%u", &bus, &address) != 2) return "";
  const std::string base = "/sys/bus/usb/devices";
  DIR* dir = ::opendir(base.c_str());
  if (!dir) return "";
  std::string found;
  auto readNumber = [](const std::string& file) -> long {
    std::ifstream in(file);
    long value = -1;
    in >> value;
    return in ? value : -1;
  };
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string device = base + "/" + entry->d_name;
    if (readNumber(device + "/busnum") == static_cast<long>(bus) &&
        readNumber(device + "/devnum") == static_cast<long>(address)) {
      found = device;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

bool unplugged(const Private& pl) {
  if (pl.sysfsDevice.empty() || pl.script.unpluggedResult == 0) return false;
  return ::access((pl.sysfsDevice + "/busnum").c_str(), F_OK) != 0;
}

// The result that an operation must fail with, or 0: the unplug result once
// the device is gone, else the scripted result.
Outcome failureOf(Private& pl, const std::string& operation) {
  reloadScript(pl);
  if (unplugged(pl)) return Outcome{pl.script.unpluggedResult, 0, ""};
  Outcome outcome = pl.script.outcome(operation);
  if (outcome.result > 0) outcome.result = 0;
  return outcome;
}

// Fills a CameraFilePath the way a camera driver does, field by field. A
// name of exactly 128 bytes fills its field with no terminating NUL.
void fillPath(CameraFilePath* path, const std::string& folder, const std::string& name) {
  std::memset(path, 0, sizeof *path);
  std::memcpy(path->name, name.data(), std::min(name.size(), sizeof path->name));
  std::memcpy(path->folder, folder.data(), std::min(folder.size(), sizeof path->folder));
}

bool inRam(const Private& pl, const std::string& name) {
  return std::any_of(pl.ram.begin(), pl.ram.end(),
                     [&](const RamPhoto& photo) { return photo.name == name; });
}

// The next name from the capture template for memory or the card that is
// not taken yet (on the card, or in the camera's memory for a name in "/").
std::string nextCaptureName(Private& pl, bool inMemory) {
  const virtualcam::CaptureSpec& planned = pl.script.capture;
  std::optional<std::uint64_t>& counter = inMemory ? pl.ramCounter : pl.cardCounter;
  if (!counter) counter = planned.firstNumber(inMemory);
  std::string folder = inMemory ? "/" : planned.folder;
  const std::string pattern = planned.nameTemplate(inMemory);
  for (;;) {
    std::string name;
    for (std::size_t i = 0; i < pattern.size();) {
      if (pattern[i] != '#') {
        name.push_back(pattern[i++]);
        continue;
      }
      std::size_t run = 0;
      while (i < pattern.size() && pattern[i] == '#') ++run, ++i;
      std::string digits = std::to_string(*counter);
      if (digits.size() < run) digits.insert(0, run - digits.size(), '0');
      name += digits;
    }
    ++*counter;
    bool taken = findFile(pl, folder, name) || (normalFolder(folder) == "/" && inRam(pl, name));
    if (pattern.find('#') == std::string::npos || !taken) return name;
  }
}

// Puts a file on the card (a capture, a file event).
const CardFile& addToCard(Private& pl, CardFile file) {
  noteNewFile(pl, file);
  pl.added.push_back(std::move(file));
  return pl.added.back();
}

const CardFile& createCapturedFile(Private& pl) {
  CardFile file;
  file.folder = pl.script.capture.folder;
  file.name = nextCaptureName(pl, false);
  file.content = pl.script.capture.content;
  file.mtime = static_cast<std::int64_t>(std::time(nullptr));
  return addToCard(pl, std::move(file));
}

RamPhoto capturedRamPhoto(Private& pl) {
  return RamPhoto{nextCaptureName(pl, true), pl.script.capture.content,
                  static_cast<std::int64_t>(std::time(nullptr))};
}

// Which of ptp2's vendor roads the camera plays: the script's, else Sony's
// for a model with Sony's vendor id and Nikon's for the others.
Vendor vendorOf(const Private& pl) {
  return pl.script.vendor.value_or(pl.sonyModel ? Vendor::Sony : Vendor::Nikon);
}

// Reports a failure's text as ptp2 reports one, before it returns.
void reportError(GPContext* context, const std::string& text) {
  if (!text.empty()) gp_context_error(context, "%s", text.c_str());
}

// ---------------------------------------------------------------------------
// libgphoto2's filesystem and its cache
//
// Only called from camera functions, never from inside a filesystem callback.

// How many photos gp_filesystem_lru_update keeps before it adds one: the
// libgphoto2 setting "cached-images", else PICTURES_TO_KEEP (2). It frees the
// oldest while it holds more than that, and then adds the new one, so the
// cache holds one more than this.
int cachedImages() {
  char id[] = "libgphoto";
  char key[] = "cached-images";
  char value[1024] = "";
  if (gp_setting_get(id, key, value) != GP_OK) return 2;
  int count = std::atoi(value);
  return count < 0 ? 2 : count;
}

// Gathers the whole photo into one buffer (`*out`, `size` bytes, the
// caller's to free) as ptp2 gathers a GetObject's data (ptp_usb_getdata,
// memory_putfunc): the first USB packet's payload, then reads of at most
// 512 KiB, each copied from the read buffer onto the end of a buffer that
// realloc grows to hold it. How the process's allocator serves that growth
// (from its heap, or mapped and remapped) decides much of what a handover
// costs, so it is played as ptp2 plays it.
int gatherPhoto(const Content& content, std::uint64_t size, char** out) {
  constexpr std::uint64_t kFirstPayload = 1024 - 12;  // a SuperSpeed packet less its header
  constexpr std::uint64_t kReadLength = 512 * 1024;   // ptp2's READLEN
  std::vector<char> piece(kReadLength);
  char* data = static_cast<char*>(std::malloc(1));  // ptp2 hands over a buffer even for 0 bytes
  for (std::uint64_t done = 0; data != nullptr && done < size;) {
    std::uint64_t want = std::min(size - done, done == 0 ? kFirstPayload : kReadLength);
    long long n = content.read(done, piece.data(), want);
    if (n <= 0) {
      std::free(data);
      return GP_ERROR_IO_READ;
    }
    char* grown = static_cast<char*>(std::realloc(data, done + n));
    if (!grown) std::free(data);
    data = grown;
    if (data) std::memcpy(data + done, piece.data(), static_cast<std::size_t>(n));
    done += static_cast<std::uint64_t>(n);
  }
  *out = data;
  return data != nullptr ? GP_OK : GP_ERROR_NO_MEMORY;
}

// Tells libgphoto2's filesystem of a photo in the camera's memory, with the
// calls ptp2 makes: the file in "/", its info and (with `withData`) a memory
// file with its bytes for the cache.
int giveToCache(Camera* camera, const RamPhoto& photo, bool withData, GPContext* context) {
  const char* root = "/";
  const char* name = photo.name.c_str();
  int result = gp_filesystem_append(camera->fs, root, name, context);
  if (result < 0) return result;
  std::uint64_t size = photo.content.length();
  CameraFileInfo info;
  std::memset(&info, 0, sizeof info);
  info.file.fields =
      static_cast<CameraFileInfoFields>(GP_FILE_INFO_SIZE | GP_FILE_INFO_MTIME | GP_FILE_INFO_TYPE);
  info.file.size = size;
  info.file.mtime = static_cast<time_t>(photo.mtime);
  std::snprintf(info.file.type, sizeof info.file.type, "%s", GP_MIME_JPEG);
  result = gp_filesystem_set_info_noop(camera->fs, root, name, info, context);
  if (result < 0 || !withData) return result;
  char* data = nullptr;
  result = gatherPhoto(photo.content, size, &data);
  if (result < 0) return result;
  CameraFile* file = nullptr;
  result = gp_file_new(&file);
  if (result < 0) {
    std::free(data);
    return result;
  }
  gp_file_set_mime_type(file, GP_MIME_JPEG);
  gp_file_set_mtime(file, static_cast<time_t>(photo.mtime));
  result = gp_file_set_data_and_size(file, data, static_cast<unsigned long>(size));
  if (result >= 0)
    result =
        gp_filesystem_set_file_noop(camera->fs, root, name, GP_FILE_TYPE_NORMAL, file, context);
  gp_file_unref(file);  // the cache keeps its own reference
  return result;
}

// After a reset, tells libgphoto2 again of every photo handed over, and gives
// the cache back the data of those it still held, oldest first, so that it
// holds and evicts exactly as before.
void giveBackToCache(Camera* camera, GPContext* context) {
  Private& pl = *camera->pl;
  std::size_t held = std::min<std::size_t>(pl.ram.size(), std::max(pl.cacheHolds, 0));
  for (std::size_t i = 0; i < pl.ram.size(); ++i)
    giveToCache(camera, pl.ram[i], i >= pl.ram.size() - held, context);
}

// Brings libgphoto2's filesystem up to date with the card. An append can
// list a folder through fileList, which may read a newer script: repeat
// until nothing is left.
void refreshFilesystem(Camera* camera, GPContext* context) {
  Private& pl = *camera->pl;
  while (pl.resetPending || !pl.appendPending.empty()) {
    if (pl.resetPending) {
      pl.resetPending = false;
      pl.appendPending.clear();
      gp_filesystem_reset(camera->fs);
      giveBackToCache(camera, context);
      continue;
    }
    auto appends = std::move(pl.appendPending);
    pl.appendPending.clear();
    for (const auto& [folder, name] : appends)
      gp_filesystem_append(camera->fs, folder.c_str(), name.c_str(), context);
  }
}

// Hands a photo from the camera's memory to libgphoto2's cache as ptp2 does
// when it announces one, and records it (the ledger of what the camera
// delivered).
int handOver(Camera* camera, RamPhoto photo, GPContext* context) {
  Private& pl = *camera->pl;
  refreshFilesystem(camera, context);
  auto began = Clock::now();
  int result = giveToCache(camera, photo, true, context);
  record(pl, {{"op", "ram_handover"},
              {"folder", "/"},
              {"name", photo.name},
              {"bytes", photo.content.length()},
              {"result", result},
              {"ms", std::chrono::duration<double, std::milli>(Clock::now() - began).count()}});
  if (result < 0) return result;
  if (pl.cacheHolds < 0) pl.cacheHolds = cachedImages() + 1;
  std::erase_if(pl.ram, [&](const RamPhoto& held) { return held.name == photo.name; });
  pl.ram.push_back(std::move(photo));
  return GP_OK;
}

// ---------------------------------------------------------------------------
// Filesystem callbacks

int fileList(CameraFilesystem*, const char* folder, CameraList* list, void* data, GPContext*) {
  try {
    Private& pl = *static_cast<Camera*>(data)->pl;
    reloadScript(pl);
    std::string wanted = normalFolder(folder);
    std::set<std::string> names;
    forEachFile(pl, [&](const CardFile& file) {
      if (normalFolder(file.folder) == wanted && names.insert(file.name).second)
        gp_list_append(list, file.name.c_str(), nullptr);
      return true;
    });
    return GP_OK;
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

int folderList(CameraFilesystem*, const char* folder, CameraList* list, void* data, GPContext*) {
  try {
    Private& pl = *static_cast<Camera*>(data)->pl;
    reloadScript(pl);
    std::string wanted = normalFolder(folder);
    for (const std::string& path : allFolders(pl))
      if (path != "/" && parentOf(path) == wanted)
        gp_list_append(list, path.substr(path.rfind('/') + 1).c_str(), nullptr);
    return GP_OK;
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

int getInfo(CameraFilesystem*, const char* folder, const char* name, CameraFileInfo* info,
            void* data, GPContext*) {
  try {
    Private& pl = *static_cast<Camera*>(data)->pl;
    reloadScript(pl);
    const CardFile* file = findFile(pl, folder, name);
    if (!file) return GP_ERROR_FILE_NOT_FOUND;
    std::memset(info, 0, sizeof *info);
    info->file.fields = static_cast<CameraFileInfoFields>(GP_FILE_INFO_SIZE | GP_FILE_INFO_MTIME |
                                                          GP_FILE_INFO_TYPE);
    info->file.size = file->content.length();
    info->file.mtime = static_cast<time_t>(file->mtime);
    std::snprintf(info->file.type, sizeof info->file.type, "%s", GP_MIME_JPEG);
    return GP_OK;
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

// Streams the file into the CameraFile piece by piece with gp_file_append,
// so that a CameraFile backed by a file descriptor receives it without the
// whole file ever being held in memory. Honours the throttle, the scripted
// failures (after a given number of bytes), an unplugged cable and the
// context's cancel request.
// libgphoto2 serves a photo that its cache holds without calling this; a
// photo of the camera's memory that it evicted ends here and is refused in
// ptp2's words (its folder names no storage).
int getFile(CameraFilesystem*, const char* folder, const char* name, CameraFileType type,
            CameraFile* target, void* data, GPContext* context) {
  try {
    Private& pl = *static_cast<Camera*>(data)->pl;
    if (type != GP_FILE_TYPE_NORMAL) return GP_ERROR_NOT_SUPPORTED;
    Outcome failure = failureOf(pl, "file_get");
    json entry{{"op", "file_get"}, {"folder", folder}, {"name", name}, {"bytes", 0}};
    const CardFile* found = findFile(pl, folder, name);
    if (!found) {
      int refused = GP_ERROR_FILE_NOT_FOUND;
      if (normalFolder(folder) == "/") {
        gp_context_error(context, "You need to specify a folder starting with /store_xxxxxxxxx/");
        refused = GP_ERROR;
      }
      entry["result"] = refused;
      record(pl, entry);
      return refused;
    }
    const CardFile file = *found;  // the script may change while streaming
    if (file.result < 0 && failure.result == 0) failure = Outcome{file.result, file.failAfter, ""};
    std::uint64_t total = file.content.length();
    std::uint64_t limit = failure.result < 0 ? std::min(total, failure.afterBytes) : total;
    std::uint64_t throttle = pl.script.throttle;
    std::size_t chunk = pl.script.chunkSize;
    int appendFailureResult = pl.script.appendFailureResult;
    if (throttle > 0)
      chunk = std::max<std::size_t>(1, std::min<std::uint64_t>(chunk, throttle / 20));
    std::vector<char> buffer(std::min<std::uint64_t>(chunk, std::max<std::uint64_t>(limit, 1)));
    gp_file_set_mime_type(target, GP_MIME_JPEG);
    auto start = Clock::now();
    std::uint64_t written = 0;
    int result = GP_OK;
    while (written < limit) {
      if (gp_context_cancel(context) == GP_CONTEXT_FEEDBACK_CANCEL) {
        result = GP_ERROR_CANCEL;
        break;
      }
      // A cable pulled while the photo streams cuts it off at the next
      // piece, as the next bulk transfer of a real camera would fail.
      if (written > 0 && unplugged(pl)) {
        result = pl.script.unpluggedResult;
        break;
      }
      long long n = file.content.read(written, buffer.data(),
                                      std::min<std::uint64_t>(buffer.size(), limit - written));
      if (n < 0) {
        result = GP_ERROR_IO_READ;
        break;
      }
      if (n == 0) break;
      result = gp_file_append(target, buffer.data(), static_cast<unsigned long>(n));
      if (result < 0) {
        entry["appendResult"] = result;
        if (appendFailureResult < 0) result = appendFailureResult;
        break;
      }
      written += static_cast<std::uint64_t>(n);
      if (throttle > 0) {
        auto due = start + std::chrono::nanoseconds(static_cast<std::int64_t>(
                               static_cast<long double>(written) * 1e9L / throttle));
        std::this_thread::sleep_until(due);
      }
    }
    if (result >= 0 && failure.result < 0) result = failure.result;
    entry["bytes"] = written;
    entry["result"] = result;
    record(pl, entry);
    return result;
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Configuration tree

CameraWidgetType widgetType(const std::string& type) {
  static const std::pair<const char*, CameraWidgetType> kTypes[] = {
      {"window", GP_WIDGET_WINDOW}, {"section", GP_WIDGET_SECTION}, {"text", GP_WIDGET_TEXT},
      {"range", GP_WIDGET_RANGE},   {"toggle", GP_WIDGET_TOGGLE},   {"radio", GP_WIDGET_RADIO},
      {"menu", GP_WIDGET_MENU},     {"button", GP_WIDGET_BUTTON},   {"date", GP_WIDGET_DATE},
  };
  for (const auto& [name, value] : kTypes)
    if (type == name) return value;
  throw std::invalid_argument("unknown widget type " + type);
}

int noopButton(Camera*, CameraWidget*, GPContext*) {
  return GP_OK;
}

// Builds one widget (and its children) from its JSON description; throws on
// a malformed description, after freeing what it made.
CameraWidget* buildWidget(const json& described) {
  CameraWidgetType type = widgetType(described.at("type").get<std::string>());
  std::string name = virtualcam::decodeBytes(described.at("name"));
  std::string label =
      described.contains("label") ? virtualcam::decodeBytes(described.at("label")) : name;
  CameraWidget* widget = nullptr;
  if (gp_widget_new(type, label.c_str(), &widget) < 0) throw std::runtime_error("gp_widget_new");
  try {
    gp_widget_set_name(widget, name.c_str());
    if (described.value("readonly", false)) gp_widget_set_readonly(widget, 1);
    switch (type) {
      case GP_WIDGET_TEXT:
      case GP_WIDGET_RADIO:
      case GP_WIDGET_MENU: {
        for (const json& choice : described.value("choices", json::array()))
          gp_widget_add_choice(widget, virtualcam::decodeBytes(choice).c_str());
        if (described.contains("value"))
          gp_widget_set_value(widget, virtualcam::decodeBytes(described.at("value")).c_str());
        break;
      }
      case GP_WIDGET_RANGE: {
        gp_widget_set_range(widget, virtualcam::rangeValue(described.value("min", json(0))),
                            virtualcam::rangeValue(described.value("max", json(100))),
                            virtualcam::rangeValue(described.value("step", json(1))));
        // gp_widget_set_value only stores a float that compares unequal to
        // the current one, and -0 equals the initial 0: go through 1 first.
        float value = virtualcam::rangeValue(described.value("value", json(0)));
        float other = 1;
        gp_widget_set_value(widget, &other);
        gp_widget_set_value(widget, &value);
        break;
      }
      case GP_WIDGET_TOGGLE:
      case GP_WIDGET_DATE: {
        int value = described.value("value", 0);
        gp_widget_set_value(widget, &value);
        break;
      }
      case GP_WIDGET_BUTTON:
        gp_widget_set_value(widget, reinterpret_cast<const void*>(&noopButton));
        break;
      case GP_WIDGET_WINDOW:
      case GP_WIDGET_SECTION:
        for (const json& child : described.value("children", json::array()))
          gp_widget_append(widget, buildWidget(child));
        break;
    }
  } catch (...) {
    gp_widget_free(widget);
    throw;
  }
  gp_widget_set_changed(widget, 0);
  return widget;
}

// ---------------------------------------------------------------------------
// The camera's settings, live view and capture target

// ptp2's capture target in libgphoto2's settings ("sdram", "card"), read
// with gp_setting_get as ptp2 reads it; "" when it was never set.
std::string hostCaptureTarget() {
  char id[] = "ptp2";
  char key[] = "capturetarget";
  char value[1024] = "";
  if (gp_setting_get(id, key, value) != GP_OK) return "";
  return value;
}

// The tree as the camera shows it now: the script's tree with the values
// that writes and the body gave it (state.json), and a capture target that
// ptp2 keeps in libgphoto2's settings shown as _get_CaptureTarget shows it
// ("Internal RAM" when it was never set).
json currentTree(const Private& pl) {
  json tree = virtualcam::withCurrentValues(pl.script.config, virtualcam::readState(pl.dir));
  json* target = virtualcam::findWidget(tree, "capturetarget");
  if (target && virtualcam::isHostCaptureTarget(*target)) {
    std::string setting = hostCaptureTarget();
    std::string label = virtualcam::captureTargetLabel(setting.empty() ? "sdram" : setting);
    if (!label.empty()) (*target)["value"] = label;
  }
  return tree;
}

// The script's value of setting `name`, null when the tree lacks it.
json scriptedValue(const Private& pl, const std::string& name) {
  const json* described = virtualcam::findWidget(pl.script.config, name);
  return described ? described->value("value", json()) : json();
}

// Keeps a setting's new value in the camera's state together with the
// script's value it replaces; returns the value it had.
json storeSetting(const Private& pl, const std::string& name, const json& value) {
  json scripted = scriptedValue(pl, name);
  json before = scripted;
  virtualcam::updateState(pl.dir, [&](json& state) {
    before = virtualcam::currentValue(name, scripted, state);
    if (!state["settings"].is_object()) state["settings"] = json::object();
    state["settings"][name] = {{"value", value}, {"script", scripted}};
    return true;
  });
  return before;
}

bool isOn(const json& value) {
  return value.is_number() && value.get<double>() != 0;
}

// Whether the camera is in live view (its mirror up): the setting
// "viewfinder", which ptp2's Nikon driver reads from the camera's
// LiveViewStatus property.
bool viewfinderOn(const Private& pl) {
  return isOn(virtualcam::currentValue("viewfinder", scriptedValue(pl, "viewfinder"),
                                       virtualcam::readState(pl.dir)));
}

// Turns live view on or off, and records a change with what made it.
void setViewfinder(const Private& pl, bool on, const char* by) {
  if (isOn(storeSetting(pl, "viewfinder", on ? 1 : 0)) != on)
    record(pl, {{"op", "viewfinder"}, {"value", on ? 1 : 0}, {"by", by}});
}

// Where a capture or trigger puts its photo. A capture target in the tree
// decides, as it does on the real bodies: ptp2's own setting for Nikon,
// Canon and Panasonic (anything set but "sdram" is the card, which ptp2
// then reports), or Sony's camera property ("sdram", "card", "card+sdram":
// ptp2 only ever reports a photo in memory). Without one the script's
// capture "ram" decides.
struct Destination {
  bool memory = false;      // handed to libgphoto2's cache in "/"
  bool card = false;        // written to the card
  bool reportsCard = true;  // ptp2 reports a photo on the card
  std::string target;       // the capture target, "" without one
};

Destination captureDestination(const Private& pl) {
  bool ram = pl.script.capture.ram;
  const json* described = virtualcam::findWidget(pl.script.config, "capturetarget");
  if (!described) return {ram, !ram, true, ""};
  if (virtualcam::isHostCaptureTarget(*described)) {
    std::string setting = hostCaptureTarget();
    bool card = !setting.empty() && setting != "sdram";
    return {!card, card, true, setting.empty() ? "sdram" : setting};
  }
  json value = virtualcam::currentValue("capturetarget", described->value("value", json()),
                                        virtualcam::readState(pl.dir));
  std::string target = value.is_null() ? "sdram" : virtualcam::decodeBytes(value);
  bool card = target == "card" || target == "card+sdram";
  return {target != "card", card, false, target};
}

// ---------------------------------------------------------------------------
// Camera functions

// Queues a trigger's delayed event among the others by when it falls due
// (after those due at the same time): each is delivered once it is due,
// whatever was queued before it.
void queueEvent(Private& pl, PendingEvent event) {
  auto later = std::upper_bound(
      pl.pending.begin(), pl.pending.end(), event.due,
      [](Clock::time_point due, const PendingEvent& queued) { return due < queued.due; });
  pl.pending.insert(later, std::move(event));
}

// Closing the camera ends live view on the Nikon and Canon EOS roads, as
// ptp2's camera_exit does (EndLiveView, TerminateViewfinder); an unplugged
// camera cannot be told, and stays in live view.
int cameraExit(Camera* camera, GPContext*) {
  Private* pl = camera->pl;
  if (!pl) return GP_OK;
  int result = GP_OK;
  try {
    reloadScript(*pl);
    if (vendorOf(*pl) != Vendor::Sony && !unplugged(*pl) && viewfinderOn(*pl))
      setViewfinder(*pl, false, "exit");
    result = std::min(0, pl->script.outcome("exit").result);
    record(*pl, {{"op", "exit"}, {"result", result}});
  } catch (const std::exception&) {
  }
  delete pl;
  camera->pl = nullptr;
  return result;
}

// The result that a capture or trigger must fail with, or 0: a scripted or
// unplugged failure, else GP_ERROR_CAMERA_BUSY while the script's busy
// count lasts (ptp2 hands on the camera's DeviceBusy once its own retries
// are spent).
Outcome captureRefusal(Private& pl, const std::string& operation) {
  Outcome failure = failureOf(pl, operation);
  if (failure.result < 0) return failure;
  if (virtualcam::takeBusy(pl.dir, "capture", pl.script.capture.busy))
    return Outcome{GP_ERROR_CAMERA_BUSY, 0, ""};
  return failure;
}

// A capture into the camera's memory hands its photo to libgphoto2's cache
// before it returns, as ptp2 does. A Sony capture with the card alone as
// its target never sees a photo in memory: ptp2 waits 35 s for one and
// gives up with GP_ERROR, while the photo is on the card.
int cameraCapture(Camera* camera, CameraCaptureType type, CameraFilePath* path,
                  GPContext* context) {
  try {
    Private& pl = *camera->pl;
    if (type != GP_CAPTURE_IMAGE) return GP_ERROR_NOT_SUPPORTED;
    Outcome failure = captureRefusal(pl, "capture");
    if (failure.result < 0) {
      reportError(context, failure.text);
      record(pl, {{"op", "capture"}, {"result", failure.result}});
      return failure.result;
    }
    Destination destination = captureDestination(pl);
    json entry{{"op", "capture"}};
    if (!destination.target.empty()) entry["target"] = destination.target;
    std::string folder, name;
    if (destination.card) {
      const CardFile& file = createCapturedFile(pl);
      folder = file.folder;
      name = file.name;
      if (destination.memory) entry["card"] = {{"folder", folder}, {"name", name}};
      refreshFilesystem(camera, context);
    }
    int result = GP_OK;
    if (destination.memory) {
      RamPhoto photo = capturedRamPhoto(pl);
      folder = "/";
      name = photo.name;
      result = handOver(camera, std::move(photo), context);
    } else if (!destination.reportsCard) {
      std::this_thread::sleep_for(
          std::chrono::duration<double, std::milli>(pl.script.capture.cardOnlyWaitMs));
      result = GP_ERROR;
    }
    entry.update({{"result", result}, {"folder", folder}, {"name", name}});
    record(pl, entry);
    if (result < 0) return result;
    fillPath(path, folder, name);
    return GP_OK;
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

// A photo that a trigger takes into the camera's memory is handed to
// libgphoto2's cache when its file-added event is delivered. A photo that
// ptp2 does not report (Sony's card) makes no event.
int cameraTrigger(Camera* camera, GPContext* context) {
  try {
    Private& pl = *camera->pl;
    Outcome failure = captureRefusal(pl, "trigger");
    if (failure.result < 0) {
      reportError(context, failure.text);
      record(pl, {{"op", "trigger"}, {"result", failure.result}});
      return failure.result;
    }
    Destination destination = captureDestination(pl);
    json entry{{"op", "trigger"}, {"result", 0}};
    if (!destination.target.empty()) entry["target"] = destination.target;
    auto due = Clock::now() + std::chrono::milliseconds(pl.script.capture.triggerDelayMs);
    PendingEvent added{due, GP_EVENT_FILE_ADDED, "/", "", std::nullopt, ""};
    std::string cardFolder, cardName;
    if (destination.card) {
      const CardFile& file = createCapturedFile(pl);
      cardFolder = added.folder = file.folder;
      cardName = added.name = file.name;
      if (destination.memory) entry["card"] = {{"folder", cardFolder}, {"name", cardName}};
    }
    if (destination.memory) {
      added.folder = "/";
      added.ram = capturedRamPhoto(pl);
      added.name = added.ram->name;
    }
    bool reported = destination.memory || destination.reportsCard;
    if (reported && pl.script.capture.completeEvent)
      queueEvent(pl, {due, GP_EVENT_CAPTURE_COMPLETE, "", "", std::nullopt, ""});
    if (reported) queueEvent(pl, added);
    entry.update({{"folder", added.folder}, {"name", added.name}});
    record(pl, entry);
    auto stem = [](const std::string& name) { return name.substr(0, name.rfind('.')); };
    if (const std::string& extension = pl.script.capture.pairExtension; !extension.empty()) {
      if (destination.card) {
        CardFile file = *findFile(pl, cardFolder, cardName);
        file.name = stem(cardName) + "." + extension;
        addToCard(pl, std::move(file));
      }
      if (reported) {
        PendingEvent second = added;
        second.due += std::chrono::milliseconds(pl.script.capture.pairDelayMs);
        second.name = stem(added.name) + "." + extension;
        if (second.ram) second.ram->name = second.name;
        queueEvent(pl, second);
      }
    }
    refreshFilesystem(camera, context);
    return GP_OK;
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

// Builds the described widget tree into `*widget`; a description the driver
// cannot build is recorded and refused.
int buildRecorded(const Private& pl, const json& described, CameraWidget** widget) {
  try {
    *widget = buildWidget(described);
  } catch (const std::exception& e) {
    record(pl, {{"op", "config_error"}, {"what", e.what()}});
    return GP_ERROR_BAD_PARAMETERS;
  }
  return GP_OK;
}

// Spends what `requests` camera requests of `delayMs` each would take, then
// records the access with what it cost: the requests, its milliseconds and
// when it began.
void recordAccess(const Private& pl, json entry, Clock::time_point began, std::size_t requests,
                  double delayMs) {
  if (requests > 0 && delayMs > 0) {
    std::this_thread::sleep_until(
        began + std::chrono::duration<double, std::milli>(delayMs * static_cast<double>(requests)));
  }
  entry["requests"] = requests;
  entry["at"] = steadySeconds(began);
  entry["ms"] = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
  record(pl, std::move(entry));
}

// The whole tree, at the cost of one request for each value widget (a
// failing fetch ends at its first).
int cameraGetConfig(Camera* camera, CameraWidget** window, GPContext*) {
  try {
    auto began = Clock::now();
    Private& pl = *camera->pl;
    Outcome failure = failureOf(pl, "get_config");
    json entry{{"op", "get_config"}, {"result", failure.result}};
    if (failure.result < 0) {
      recordAccess(pl, entry, began, 1, pl.script.treeWidgetDelayMs);
      return failure.result;
    }
    *window = nullptr;
    recordAccess(pl, entry, began, virtualcam::valueWidgetCount(pl.script.config),
                 pl.script.treeWidgetDelayMs);
    if (pl.script.config.is_null()) return GP_OK;
    json root{{"type", "window"},
              {"name", "main"},
              {"label", "Camera and Driver Configuration"},
              {"children", currentTree(pl)}};
    return buildRecorded(pl, root, window);
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

// One widget by name, built on its own (as drivers that implement this do),
// so that gphoto2's single-widget access sees the current value exactly.
// A name that the tree does not hold is answered GP_ERROR_BAD_PARAMETERS
// without a request, as a driver does that looks names up in its own table
// before it asks the camera. Fails as "get_single_config" is scripted, else
// as "get_config".
int cameraGetSingleConfig(Camera* camera, const char* name, CameraWidget** widget, GPContext*) {
  try {
    auto began = Clock::now();
    Private& pl = *camera->pl;
    reloadScript(pl);
    json entry{{"op", "get_config"}, {"name", name}};
    if (pl.script.singleConfig == virtualcam::SingleConfig::NotSupported) {
      entry["result"] = GP_ERROR_NOT_SUPPORTED;
      recordAccess(pl, entry, began, 0, 0);
      return GP_ERROR_NOT_SUPPORTED;
    }
    Outcome failure = failureOf(
        pl, pl.script.results.count("get_single_config") ? "get_single_config" : "get_config");
    json tree = currentTree(pl);
    const json* described = virtualcam::findWidget(tree, name);
    int result = failure.result < 0 ? failure.result : described ? GP_OK : GP_ERROR_BAD_PARAMETERS;
    entry["result"] = result;
    // ptp2 serves the serial number from the device information it read at
    // opening: no request.
    bool asked = failure.result < 0 || (described && std::strcmp(name, "serialnumber") != 0);
    recordAccess(pl, entry, began, asked ? 1 : 0, pl.script.singleConfigDelayMs);
    if (result < 0) return result;
    return buildRecorded(pl, *described, widget);
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Settings writes

// printf into a string.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string text(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

// The value of the caller's widget as the script writes values; false when
// the widget's type cannot hold a value of the described widget's `type`.
bool widgetValue(CameraWidget* widget, const std::string& type, json& value) {
  CameraWidgetType given;
  if (gp_widget_get_type(widget, &given) < 0) return false;
  if (type == "text" || type == "radio" || type == "menu") {
    if (given != GP_WIDGET_TEXT && given != GP_WIDGET_RADIO && given != GP_WIDGET_MENU)
      return false;
    const char* text = nullptr;
    gp_widget_get_value(widget, &text);
    value = virtualcam::encodeBytes(text ? text : "");
    return true;
  }
  if (type == "range") {
    float number = 0;
    if (given != GP_WIDGET_RANGE || gp_widget_get_value(widget, &number) < 0) return false;
    value = virtualcam::encodeRange(number);
    return true;
  }
  if (type == "toggle" || type == "date") {
    int number = 0;
    if ((given != GP_WIDGET_TOGGLE && given != GP_WIDGET_DATE) ||
        gp_widget_get_value(widget, &number) < 0)
      return false;
    value = number;
    return true;
  }
  value = nullptr;
  return type == "button" && given == GP_WIDGET_BUTTON;
}

// What one write came to on the camera, or in the driver for ptp2's own
// settings, before ptp2's road makes the call's result of it.
struct Written {
  int result = GP_OK;        // ptp2's code for the answer
  std::string text;          // the context error ptp2 reports with it
  std::size_t requests = 0;  // requests sent to the camera
  bool property = true;      // a camera property, not one of ptp2's own settings
  bool applied = false;      // the setting has the value now
};

// One write, as ptp2's put functions and the camera answer it:
// - ptp2's own capture target (_put_CaptureTarget) goes to libgphoto2's
//   settings with gp_setting_set("ptp2", "capturetarget", ...); a label it
//   does not know is passed over, and the write still succeeds;
// - the viewfinder starts or ends live view (one request); buttons press;
// - a camera property is refused as read-only (ptp2 looks at the property's
//   description: GP_ERROR_NOT_SUPPORTED), as a value its put function cannot
//   map (GP_ERROR), or by the camera: DeviceBusy (GP_ERROR_CAMERA_BUSY)
//   while the script's busy count lasts, "Invalid DeviceProp value"
//   (GP_ERROR) for a value it refuses. Each answer from the camera is one
//   request. An accepted value is kept in the camera's state and, with
//   writeEvents, reported by a property-changed event as the bodies do.
Written writeWidget(Private& pl, const json& described, const json& value) {
  Written written;
  std::string name = virtualcam::decodeBytes(described.at("name"));
  std::string label =
      described.contains("label") ? virtualcam::decodeBytes(described.at("label")) : name;
  unsigned code = virtualcam::propertyCode(described);
  bool canon = vendorOf(pl) == Vendor::Canon;
  std::string type = described.value("type", std::string());
  bool readOnly = described.value("readonly", false);
  if (virtualcam::isHostCaptureTarget(described) || name == "viewfinder" || type == "button") {
    written.property = false;
    if (readOnly) {  // ptp2's _put_None
      written.result = GP_ERROR_NOT_SUPPORTED;
      return written;
    }
    if (virtualcam::isHostCaptureTarget(described)) {
      std::string setting = virtualcam::captureTargetSetting(virtualcam::decodeBytes(value));
      char id[] = "ptp2";
      char key[] = "capturetarget";
      if (!setting.empty()) gp_setting_set(id, key, setting.data());
      written.applied = !setting.empty();
      return written;
    }
    written.requests = 1;
    if (virtualcam::takeBusy(pl.dir, "set_config", pl.script.setConfigBusy)) {
      written.result = GP_ERROR_CAMERA_BUSY;
      if (!canon && name == "viewfinder" && isOn(value))
        written.text = "Nikon enable liveview failed (0x2019: PTP Device Busy)";
      return written;
    }
    if (name == "viewfinder") setViewfinder(pl, isOn(value), "set_config");
    written.applied = true;
    return written;
  }
  virtualcam::Verdict verdict = virtualcam::judgeWrite(described, value);
  if (verdict == virtualcam::Verdict::ReadOnly) {
    written.result = GP_ERROR_NOT_SUPPORTED;
    written.text = canon ? formatted("Parsing the value of widget '%s' / 0x%04x failed with %d.",
                                     label.c_str(), code, GP_ERROR_NOT_SUPPORTED)
                         : formatted("Sorry, the property '%s' / 0x%04x is currently read-only.",
                                     label.c_str(), code);
    return written;
  }
  if (verdict == virtualcam::Verdict::NotAChoice) {
    written.result = GP_ERROR;
    if (canon)
      written.text = formatted("Parsing the value of widget '%s' / 0x%04x failed with %d.",
                               label.c_str(), code, GP_ERROR);
    return written;
  }
  written.requests = 1;
  unsigned answer = 0;
  const char* meaning = "";
  if (virtualcam::takeBusy(pl.dir, "set_config", pl.script.setConfigBusy)) {
    answer = 0x2019;
    meaning = "PTP Device Busy";
    written.result = GP_ERROR_CAMERA_BUSY;
  } else if (verdict == virtualcam::Verdict::Refused) {
    answer = 0x201C;
    meaning = "PTP Invalid Device Prop Value";
    written.result = GP_ERROR;
  }
  if (answer != 0) {
    written.text = formatted("The property '%s' / 0x%04x was not set (0x%04x: %s)%s", label.c_str(),
                             code, answer, meaning, canon ? "." : "");
    return written;
  }
  storeSetting(pl, name, value);
  if (pl.script.writeEvents)
    queueEvent(pl, {Clock::now(), GP_EVENT_UNKNOWN, "", "", std::nullopt, name});
  written.applied = true;
  return written;
}

// Whether ptp2's road turns a refused write into something else. On the
// Nikon and Sony roads a refused camera property makes ptp2 try the next
// entry of its table that might set the name; none does, so a single write
// ends in "Property '...' not found." and GP_ERROR_BAD_PARAMETERS, and a
// whole-tree write goes on with the next widget and succeeds. On the Canon
// EOS road, and for ptp2's own settings, the result stands.
bool refusalFolds(const Private& pl, const Written& written) {
  return written.result < 0 && written.property && vendorOf(pl) != Vendor::Canon;
}

// Records a write: what it was, what the call made of it, the context
// errors it reported and what it cost.
void recordWrite(const Private& pl, json entry, const Written& written, int result,
                 std::vector<std::string> errors, Clock::time_point began) {
  entry["result"] = result;
  entry["accepted"] = written.applied;
  if (!errors.empty()) entry["errors"] = errors;
  recordAccess(pl, std::move(entry), began, written.requests, pl.script.singleConfigDelayMs);
}

// gp_camera_set_single_config: one setting by name, as ptp2's
// camera_set_single_config writes it. A name the tree does not hold is "not
// found" (GP_ERROR_BAD_PARAMETERS) at no cost. Fails as "set_config" is
// scripted; with singleConfig "notSupported" it answers
// GP_ERROR_NOT_SUPPORTED.
int cameraSetSingleConfig(Camera* camera, const char* name, CameraWidget* widget,
                          GPContext* context) {
  try {
    auto began = Clock::now();
    Private& pl = *camera->pl;
    reloadScript(pl);
    json entry{{"op", "set_config"}, {"name", name}};
    Written written;
    if (pl.script.singleConfig == virtualcam::SingleConfig::NotSupported) {
      recordWrite(pl, entry, written, GP_ERROR_NOT_SUPPORTED, {}, began);
      return GP_ERROR_NOT_SUPPORTED;
    }
    Outcome failure = failureOf(pl, "set_config");
    if (failure.result < 0) {
      reportError(context, failure.text);
      written.requests = 1;
      recordWrite(pl, entry, written, failure.result, {}, began);
      return failure.result;
    }
    std::string notFound = formatted("Property '%s' not found.", name);
    json tree = currentTree(pl);
    const json* described = virtualcam::findWidget(tree, name);
    json value;
    if (!described || !virtualcam::holdsValue(*described) ||
        !widgetValue(widget, described->value("type", std::string()), value)) {
      reportError(context, notFound);
      recordWrite(pl, entry, written, GP_ERROR_BAD_PARAMETERS, {notFound}, began);
      return GP_ERROR_BAD_PARAMETERS;
    }
    entry["value"] = value;
    written = writeWidget(pl, *described, value);
    std::vector<std::string> errors;
    if (!written.text.empty()) errors.push_back(written.text);
    int result = written.result;
    if (refusalFolds(pl, written)) {
      errors.push_back(notFound);
      result = GP_ERROR_BAD_PARAMETERS;
    }
    for (const std::string& error : errors) reportError(context, error);
    recordWrite(pl, entry, written, result, errors, began);
    return result;
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

// The value widgets of the caller's tree that it changed, in tree order.
// gp_widget_changed clears each flag as it reads it, as in ptp2.
void changedWidgets(CameraWidget* parent, std::vector<CameraWidget*>& changed) {
  int count = gp_widget_count_children(parent);
  for (int i = 0; i < count; ++i) {
    CameraWidget* child = nullptr;
    CameraWidgetType type;
    if (gp_widget_get_child(parent, i, &child) < 0 || gp_widget_get_type(child, &type) < 0)
      continue;
    if (type == GP_WIDGET_WINDOW || type == GP_WIDGET_SECTION)
      changedWidgets(child, changed);
    else if (gp_widget_changed(child))
      changed.push_back(child);
  }
}

// gp_camera_set_config: every widget of the caller's tree that it changed,
// written one by one as a single write would be, a record each (with
// "tree"). A widget that the camera does not know is passed over, as ptp2
// passes over what its tables lack. The first refusal that stands (see
// refusalFolds) ends the call with its result.
int cameraSetConfig(Camera* camera, CameraWidget* window, GPContext* context) {
  try {
    Private& pl = *camera->pl;
    auto began = Clock::now();
    Outcome failure = failureOf(pl, "set_config");
    if (failure.result < 0) {
      reportError(context, failure.text);
      Written written;
      written.requests = 1;
      recordWrite(pl, {{"op", "set_config"}, {"tree", true}}, written, failure.result, {}, began);
      return failure.result;
    }
    std::vector<CameraWidget*> changed;
    changedWidgets(window, changed);
    for (CameraWidget* widget : changed) {
      auto start = Clock::now();
      const char* name = nullptr;
      gp_widget_get_name(widget, &name);
      json tree = currentTree(pl);
      const json* described = virtualcam::findWidget(tree, name ? name : "");
      json value;
      if (!described || !virtualcam::holdsValue(*described) ||
          !widgetValue(widget, described->value("type", std::string()), value))
        continue;
      Written written = writeWidget(pl, *described, value);
      reportError(context, written.text);
      int result = refusalFolds(pl, written) ? GP_OK : written.result;
      std::vector<std::string> errors;
      if (!written.text.empty()) errors.push_back(written.text);
      recordWrite(pl, {{"op", "set_config"}, {"tree", true}, {"name", name}, {"value", value}},
                  written, result, errors, start);
      if (result < 0) return result;
    }
    return GP_OK;
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Live view

// ptp2's words for a body without live view, by road (Sony's says nothing).
const char* noLiveViewText(Vendor vendor) {
  switch (vendor) {
    case Vendor::Nikon:
      return "Sorry, your Nikon camera does not support LiveView mode";
    case Vendor::Canon:
      return "Sorry, your Canon camera does not support Canon Viewfinder mode";
    case Vendor::Sony:
      break;
  }
  return "";
}

// gp_camera_capture_preview, as ptp2 serves it: one JPEG frame a call
// (gp_file_append, image/jpeg, named preview.jpg). On the Nikon and Canon
// EOS roads a call first turns live view on when it is off, as ptp2 does
// (the mirror goes up: `startMs`); it stays on until the viewfinder setting
// turns it off or the camera is closed. The camera makes a frame every
// `frameMs`: a call that comes sooner after the last frame waits for the
// next. Each frame has the next number of the camera's state. A busy camera
// (the script's `busy` count) takes `busyMs` and ends as ptp2's road ends
// it: Nikon's after 20 tries 10 ms apart with GP_OK and no data at all,
// Canon EOS's after 3 s with GP_ERROR_CAMERA_BUSY, Sony's at once with
// GP_ERROR_CAMERA_BUSY.
int cameraCapturePreview(Camera* camera, CameraFile* file, GPContext* context) {
  try {
    auto began = Clock::now();
    Private& pl = *camera->pl;
    reloadScript(pl);
    const virtualcam::LiveView preview = pl.script.preview;
    Vendor vendor = vendorOf(pl);
    json entry{{"op", "preview"}};
    auto finish = [&](int result) {
      entry["result"] = result;
      entry["at"] = steadySeconds(began);
      entry["ms"] = std::chrono::duration<double, std::milli>(Clock::now() - began).count();
      record(pl, entry);
      return result;
    };
    auto spend = [](double ms) {
      std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(ms));
    };
    if (!preview.enabled) {
      reportError(context, noLiveViewText(vendor));
      return finish(GP_ERROR_NOT_SUPPORTED);
    }
    Outcome failure = failureOf(pl, "preview");
    if (failure.result < 0) {
      reportError(context, failure.text);
      return finish(failure.result);
    }
    if (virtualcam::takeBusy(pl.dir, "preview", preview.busy)) {
      spend(preview.busyMs.value_or(vendor == Vendor::Nikon   ? 200
                                    : vendor == Vendor::Canon ? 3000
                                                              : 0));
      entry["busy"] = true;
      entry["bytes"] = 0;
      return finish(vendor == Vendor::Nikon ? GP_OK : GP_ERROR_CAMERA_BUSY);
    }
    if (vendor != Vendor::Sony && !viewfinderOn(pl)) {
      spend(preview.startMs);
      setViewfinder(pl, true, "preview");
    }
    if (pl.lastFrame)
      std::this_thread::sleep_until(*pl.lastFrame +
                                    std::chrono::duration<double, std::milli>(preview.frameMs));
    std::uint64_t number = 0;
    virtualcam::updateState(pl.dir, [&](json& state) {
      number = state.value("frames", std::uint64_t{0}) + 1;
      state["frames"] = number;
      return true;
    });
    std::string frame =
        virtualcam::jpegFrame(number, preview.width, preview.height, preview.frameBytes);
    pl.lastFrame = Clock::now();
    int result = gp_file_append(file, frame.data(), static_cast<unsigned long>(frame.size()));
    if (result >= 0) {
      gp_file_set_mime_type(file, GP_MIME_JPEG);
      gp_file_set_name(file, "preview.jpg");
      gp_file_set_mtime(file, std::time(nullptr));
    }
    entry.update({{"seq", number},
                  {"bytes", frame.size()},
                  {"width", preview.width},
                  {"height", preview.height}});
    return finish(result);
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

// ---------------------------------------------------------------------------
// Events

// The text of ptp2's event for a changed property (library.c: "PTP Property
// %04x changed, \"%s\" to \"%s\""): the widget's name and its value now,
// which ptp2 reads when it handles the event; only the code (`code`, else
// the name's default) for a setting that the tree lacks.
std::string propertyEventText(const Private& pl, const std::string& name,
                              std::optional<std::uint16_t> code) {
  json tree = currentTree(pl);
  const json* described = virtualcam::findWidget(tree, name);
  unsigned shown = described ? virtualcam::propertyCode(*described)
                             : code.value_or(virtualcam::defaultPropertyCode(name));
  std::string text = formatted("PTP Property %04x changed", shown);
  if (!described) return text;
  return text + ", \"" + name + "\" to \"" +
         virtualcam::eventContent(*described, described->value("value", json())) + "\"";
}

CameraEventType eventType(const json& type) {
  if (type.is_number()) return static_cast<CameraEventType>(type.get<int>());
  static const std::pair<const char*, CameraEventType> kTypes[] = {
      {"unknown", GP_EVENT_UNKNOWN},
      {"timeout", GP_EVENT_TIMEOUT},
      {"file_added", GP_EVENT_FILE_ADDED},
      {"folder_added", GP_EVENT_FOLDER_ADDED},
      {"capture_complete", GP_EVENT_CAPTURE_COMPLETE},
      {"file_changed", GP_EVENT_FILE_CHANGED},
  };
  std::string name = type.get<std::string>();
  for (const auto& [text, value] : kTypes)
    if (name == text) return value;
  throw std::invalid_argument("unknown event type " + name);
}

// Takes the next complete line of events.jsonl, if any, and moves the
// remembered position past it.
bool nextEventLine(Private& pl, std::string& line) {
  if (pl.dir.empty()) return false;
  std::uint64_t position = 0;
  {
    std::ifstream in(pathIn(pl, "events.pos"));
    in >> position;
  }
  int fd = ::open(pathIn(pl, "events.jsonl").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::string text;
  char buffer[65536];
  bool complete = false;
  for (;;) {
    ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(position + text.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const char* newline = static_cast<const char*>(std::memchr(buffer, '\n', n));
    text.append(buffer, newline ? static_cast<std::size_t>(newline - buffer) : n);
    if (newline) {
      complete = true;
      break;
    }
  }
  ::close(fd);
  if (!complete) return false;
  std::string positionFile = pathIn(pl, "events.pos");
  std::string temporary = positionFile + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << position + text.size() + 1 << "\n";
  }
  std::rename(temporary.c_str(), positionFile.c_str());
  line = std::move(text);
  return true;
}

int deliver(Private& pl, CameraEventType type, const std::string& folder, const std::string& name,
            const char* text, CameraEventType* typeOut, void** dataOut) {
  *typeOut = type;
  *dataOut = nullptr;
  json entry{{"op", "event"}, {"type", static_cast<int>(type)}};
  switch (type) {
    case GP_EVENT_FILE_ADDED:
    case GP_EVENT_FOLDER_ADDED:
    case GP_EVENT_FILE_CHANGED: {
      auto* path = static_cast<CameraFilePath*>(std::malloc(sizeof(CameraFilePath)));
      if (!path) return GP_ERROR_NO_MEMORY;
      fillPath(path, folder, name);
      *dataOut = path;
      entry["folder"] = folder;
      entry["name"] = name;
      break;
    }
    case GP_EVENT_UNKNOWN:
      if (text) {
        *dataOut = ::strdup(text);
        entry["text"] = virtualcam::encodeBytes(text);
      }
      break;
    default:
      break;
  }
  record(pl, entry);
  return GP_OK;
}

// The next event that has fallen due, delivered: first the delayed events
// of triggers, then the lines of events.jsonl. Nothing when there is none;
// an events line {"result": N} or a failure (unplugged, scripted) is
// returned as that result.
std::optional<int> takeEvent(Camera* camera, CameraEventType* type, void** data,
                             GPContext* context) {
  Private& pl = *camera->pl;
  Outcome failure = failureOf(pl, "wait_for_event");
  if (failure.result < 0) return failure.result;
  if (!pl.pending.empty() && pl.pending.front().due <= Clock::now()) {
    PendingEvent event = pl.pending.front();
    pl.pending.pop_front();
    refreshFilesystem(camera, context);
    if (!event.property.empty()) {
      std::string text = propertyEventText(pl, event.property, std::nullopt);
      return deliver(pl, GP_EVENT_UNKNOWN, "/", "", text.c_str(), type, data);
    }
    if (event.ram) {
      int result = handOver(camera, std::move(*event.ram), context);
      if (result < 0) return result;
    }
    return deliver(pl, event.type, event.folder, event.name, nullptr, type, data);
  }
  std::string line;
  while (nextEventLine(pl, line)) {
    json event;
    try {
      event = json::parse(line);
      if (event.contains("result")) {
        int result = event.at("result").get<int>();
        record(pl, {{"op", "event"}, {"result", result}});
        if (result < 0) return result;
        continue;
      }
      if (event.value("type", json()) == "property_changed") {
        std::string name = virtualcam::decodeBytes(event.at("name"));
        std::optional<std::uint16_t> code;
        if (event.contains("code"))
          code = virtualcam::propertyCode({{"name", name}, {"code", event.at("code")}});
        std::string text = propertyEventText(pl, name, code);
        refreshFilesystem(camera, context);
        return deliver(pl, GP_EVENT_UNKNOWN, "/", "", text.c_str(), type, data);
      }
      CameraEventType eventKind = eventType(event.value("type", json("timeout")));
      std::string folder =
          event.contains("folder") ? virtualcam::decodeBytes(event["folder"]) : std::string("/");
      std::string name =
          event.contains("name") ? virtualcam::decodeBytes(event["name"]) : std::string();
      auto announced = static_cast<std::int64_t>(std::time(nullptr));
      bool ram = event.value("ram", false);
      if (ram) {
        folder = "/";  // where ptp2 puts every photo of the camera's memory
      } else if (virtualcam::hasContent(event)) {
        addToCard(pl, CardFile{folder, name, virtualcam::parseContent(event), announced, 0, 0});
      }
      std::string text;
      if (event.contains("text")) text = virtualcam::decodeBytes(event["text"]);
      refreshFilesystem(camera, context);
      if (ram) {
        int result =
            handOver(camera, RamPhoto{name, virtualcam::parseContent(event), announced}, context);
        if (result < 0) return result;
      }
      return deliver(pl, eventKind, folder, name, event.contains("text") ? text.c_str() : nullptr,
                     type, data);
    } catch (const std::exception& e) {
      record(pl, {{"op", "event_error"}, {"line", line}, {"what", e.what()}});
    }
  }
  return std::nullopt;
}

// The interrupt road (ptp2's generic PTP road): the wait looks at the
// camera's interrupt pipe, which sends the camera nothing (a look with a
// timeout of 0: the emulated device has no such pipe), and then takes each
// event as it comes, at once, within `timeout` ms.
int waitOnInterrupt(Camera* camera, int timeout, CameraEventType* type, void** data,
                    GPContext* context) {
  int saved = 0;
  gp_port_get_timeout(camera->port, &saved);
  gp_port_set_timeout(camera->port, 0);
  char container[64];
  gp_port_check_int(camera->port, container, sizeof container);
  gp_port_set_timeout(camera->port, saved);
  auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout, 0));
  for (;;) {
    if (std::optional<int> taken = takeEvent(camera, type, data, context)) return *taken;
    auto now = Clock::now();
    if (now >= deadline) break;
    if (gp_context_cancel(context) == GP_CONTEXT_FEEDBACK_CANCEL) return GP_ERROR_CANCEL;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(std::chrono::milliseconds(5), deadline - now));
  }
  refreshFilesystem(camera, context);
  return GP_OK;  // GP_EVENT_TIMEOUT
}

// One request to the camera, as ptp2 sends a GetEvent each round of a
// polling road: a PTP command container written to the port, which is how
// a request shows in libgphoto2's log (the emulated device refuses it, and
// libgphoto2 logs the refusal too), recorded with the timeout of the wait
// that sent it, and taking `requestMs`.
void sendRequest(Camera* camera, int timeout) {
  static const char kGetEvent[12] = {
      12, 0, 0, 0, 1, 0, static_cast<char>(0xC7), static_cast<char>(0x90), 0, 0, 0, 0};
  auto began = Clock::now();
  gp_port_write(camera->port, kGetEvent, sizeof kGetEvent);
  recordAccess(*camera->pl, {{"op", "request"}, {"timeoutMs", timeout}}, began, 1,
               camera->pl->script.requestMs);
}

// The polling roads (ptp2 on Nikon, Canon EOS, Sony): each round sends a
// request and takes an event that has come by then; between rounds the
// wait sleeps as libgphoto2's waiting_for_timeout does (50 ms longer each
// round, at most 200 ms, never past `timeout`), blind to events meanwhile.
// A timeout of 0 makes one round. On the trap road each round also takes
// `trapMs` until the first event (a Nikon whose GetEvent has never returned
// anything also looks at its interrupt pipe, slowly).
int waitByPolling(Camera* camera, int timeout, CameraEventType* type, void** data,
                  GPContext* context) {
  Private& pl = *camera->pl;
  auto start = Clock::now();
  int backOff = 0;
  for (;;) {
    sendRequest(camera, timeout);
    if (std::optional<int> taken = takeEvent(camera, type, data, context)) {
      if (*taken >= 0) pl.eventCame = true;
      return *taken;
    }
    if (pl.script.eventRoad == virtualcam::EventRoad::Trap && !pl.eventCame) {
      std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(pl.script.trapMs));
    }
    auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    int left = timeout - static_cast<int>(spent.count());
    if (left <= 0) break;
    backOff = std::min({backOff + 50, 200, left});
    std::this_thread::sleep_for(std::chrono::milliseconds(backOff));
  }
  refreshFilesystem(camera, context);
  return GP_OK;  // GP_EVENT_TIMEOUT
}

// Returns queued events one per call, on the road that the script names.
// With nothing to report it waits up to `timeout` ms as that road does and
// then reports GP_EVENT_TIMEOUT. An events line {"result": N} makes the
// call fail with N.
int cameraWaitForEvent(Camera* camera, int timeout, CameraEventType* type, void** data,
                       GPContext* context) {
  try {
    *type = GP_EVENT_TIMEOUT;
    *data = nullptr;
    reloadScript(*camera->pl);
    if (camera->pl->script.eventRoad == virtualcam::EventRoad::Interrupt) {
      return waitOnInterrupt(camera, timeout, type, data, context);
    }
    return waitByPolling(camera, timeout, type, data, context);
  } catch (const std::exception&) {
    return GP_ERROR;
  }
}

int cameraSummary(Camera* camera, CameraText* text, GPContext*) {
  std::snprintf(text->text, sizeof text->text, "%s on %s, scripted by the virtual camera bench.\n",
                camera->pl->model.c_str(), camera->pl->port.c_str());
  return GP_OK;
}

CameraFilesystemFuncs filesystemFuncs() {
  CameraFilesystemFuncs funcs;
  std::memset(&funcs, 0, sizeof funcs);
  funcs.file_list_func = fileList;
  funcs.folder_list_func = folderList;
  funcs.get_info_func = getInfo;
  funcs.get_file_func = getFile;
  return funcs;
}

}  // namespace

VIRTUALCAM_EXPORT int camera_id(CameraText* id) {
  std::snprintf(id->text, sizeof id->text, "virtualcam");
  return GP_OK;
}

VIRTUALCAM_EXPORT int camera_abilities(CameraAbilitiesList* list) {
  for (const Model& model : kModels) {
    CameraAbilities a;
    std::memset(&a, 0, sizeof a);
    std::snprintf(a.model, sizeof a.model, "%s", model.name);
    a.status = GP_DRIVER_STATUS_PRODUCTION;
    a.port = GP_PORT_USB;
    a.usb_vendor = model.vendor;
    a.usb_product = model.product;
    a.operations = static_cast<CameraOperation>(model.operations);
    a.file_operations = GP_FILE_OPERATION_NONE;
    a.folder_operations = GP_FOLDER_OPERATION_NONE;
    a.device_type = GP_DEVICE_STILL_CAMERA;
    int result = gp_abilities_list_append(list, a);
    if (result < 0) return result;
  }
  return GP_OK;
}

VIRTUALCAM_EXPORT int camera_init(Camera* camera, GPContext*) {
  try {
    auto* pl = new Private;
    if (const char* dir = std::getenv("VIRTUALCAM_DIR")) pl->dir = dir;
    GPPortInfo info;
    char* portPath = nullptr;
    if (gp_port_get_info(camera->port, &info) >= 0 && gp_port_info_get_path(info, &portPath) >= 0 &&
        portPath)
      pl->port = portPath;
    CameraAbilities abilities;
    std::memset(&abilities, 0, sizeof abilities);
    if (gp_camera_get_abilities(camera, &abilities) >= 0) pl->model = abilities.model;
    pl->sonyModel = abilities.usb_vendor == kSonyVendor;
    if (!pl->dir.empty()) {
      std::string own = pl->port;
      std::replace(own.begin(), own.end(), ':', '-');
      std::replace(own.begin(), own.end(), ',', '-');
      struct stat folder;
      std::string candidate = pl->dir + "/" + own;
      if (!own.empty() && ::stat(candidate.c_str(), &folder) == 0 && S_ISDIR(folder.st_mode))
        pl->dir = candidate;
    }
    pl->sysfsDevice = findSysfsDevice(pl->port);
    reloadScript(*pl);
    int result = std::min(0, pl->script.outcome("camera_init").result);
    record(*pl, {{"op", "init"}, {"result", result}, {"sysfs", pl->sysfsDevice}});
    if (result < 0) {
      delete pl;
      return result;
    }
    camera->pl = pl;
    camera->functions->exit = cameraExit;
    camera->functions->get_config = cameraGetConfig;
    camera->functions->set_config = cameraSetConfig;
    if (pl->script.singleConfig != virtualcam::SingleConfig::Unset) {
      camera->functions->get_single_config = cameraGetSingleConfig;
      camera->functions->set_single_config = cameraSetSingleConfig;
    }
    // ptp2 always offers live view and answers for a body without it.
    camera->functions->capture_preview = cameraCapturePreview;
    camera->functions->wait_for_event = cameraWaitForEvent;
    camera->functions->summary = cameraSummary;
    if (abilities.operations & GP_OPERATION_CAPTURE_IMAGE)
      camera->functions->capture = cameraCapture;
    if (abilities.operations & GP_OPERATION_TRIGGER_CAPTURE)
      camera->functions->trigger_capture = cameraTrigger;
    CameraFilesystemFuncs funcs = filesystemFuncs();
    return gp_filesystem_set_funcs(camera->fs, &funcs, camera);
  } catch (const std::exception&) {
    return GP_ERROR_NO_MEMORY;
  }
}
