#include "photo_identity.h"

#include <cstring>

#include "json_text.h"
#include "session.h"

std::string recordName(const CameraFilePath& record) {
  return utf8OrEmpty(record.name, sizeof record.name);
}

std::string recordFolder(const CameraFilePath& record) {
  return utf8OrEmpty(record.folder, sizeof record.folder);
}

bool terminated(const CameraFilePath& record) {
  return std::memchr(record.name, '\0', sizeof record.name) != nullptr &&
         std::memchr(record.folder, '\0', sizeof record.folder) != nullptr;
}

std::string fileIdentity(const CameraFilePath* record) {
  return recordFolder(*record) + "/" + recordName(*record);
}

std::string rawIdentity(const CameraFilePath& record) {
  std::string folder(record.folder, strnlen(record.folder, sizeof record.folder));
  if (!folder.ends_with('/')) folder.push_back('/');
  return folder + std::string(record.name, strnlen(record.name, sizeof record.name));
}

nlohmann::json cameraFileJson(const CameraFilePath& record) {
  return {{"folder", textOrReplaced({record.folder, strnlen(record.folder, sizeof record.folder)})},
          {"name", textOrReplaced({record.name, strnlen(record.name, sizeof record.name)})}};
}

bool heldByLibrary(const CameraFilePath& record) {
  return std::strcmp(record.folder, "/") == 0;
}

std::string heldQueueKey(std::uint64_t number) {
  return std::string("\0held ", 6) + std::to_string(number);
}
