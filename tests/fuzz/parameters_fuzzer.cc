// The parameter text rules over configuration trees built with the real
// libgphoto2: widgets of every type, with any names (parameters.dict holds
// the wanted ones) and values, nested in sections. Every value taken must be
// well-formed, trimmed text of 1 to 512 UTF-16 code units.
#include <fuzzer/FuzzedDataProvider.h>
#include <gphoto2/gphoto2.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "json_text.h"
#include "parameters.h"
#include "session.h"

namespace {

constexpr int kMaxChildren = 8;
constexpr int kMaxDepth = 3;

void addChildren(CameraWidget* parent, FuzzedDataProvider& input, int depth) {
  int count = input.ConsumeIntegralInRange(0, kMaxChildren);
  for (int i = 0; i < count && input.remaining_bytes() > 0; ++i) {
    auto type = static_cast<CameraWidgetType>(input.ConsumeIntegralInRange(0, 8));
    std::string name = input.ConsumeRandomLengthString(32);
    CameraWidget* child = nullptr;
    if (gp_widget_new(type, name.c_str(), &child) < 0) return;
    gp_widget_set_name(child, name.c_str());
    switch (type) {
      case GP_WIDGET_TEXT:
      case GP_WIDGET_RADIO:
      case GP_WIDGET_MENU: {
        std::string value = input.ConsumeRandomLengthString(600);
        gp_widget_set_value(child, value.c_str());
        break;
      }
      case GP_WIDGET_RANGE: {
        float value = input.ConsumeFloatingPoint<float>();
        gp_widget_set_value(child, &value);
        break;
      }
      case GP_WIDGET_SECTION:
        if (depth < kMaxDepth) addChildren(child, input, depth + 1);
        break;
      default:
        break;
    }
    gp_widget_append(parent, child);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  CameraWidget* root = nullptr;
  if (gp_widget_new(GP_WIDGET_WINDOW, "main", &root) < 0) abort();
  addChildren(root, input, 0);
  for (const auto& [key, value] : parametersOfTree(root).values) {
    std::size_t units = utf16Length(value);
    if (!validUtf8(value) || units < 1 || units > 512 || trimmedText(value) != value) abort();
  }
  gp_widget_free(root);
  return 0;
}
