// How the process's allocator treats the large buffers that camera drivers
// make: a photo held in camera memory arrives whole in one, tens of MB.
#pragma once

// From here on, buffers of a photo's size are handed back to the system as
// soon as they are freed, so that memory taken during a burst does not stay
// with an idle process. Call once, before libgphoto2 is used.
void returnLargeBuffersWhenFreed();
