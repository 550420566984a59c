// Lists the attached USB cameras with their link speed.
#pragma once

#include <string>

// Rescans the cameras and replaces `devices` when the list changed, writing
// one status line then. A failed autodetection is reported through check().
void discover();
