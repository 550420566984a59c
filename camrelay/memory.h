// How the process's allocator treats the large buffers that camera drivers
// make: a photo held in camera memory arrives whole in one, tens of MB.
#pragma once

// From here on, buffers of a photo's size come from the allocator's heap,
// and what a freed one leaves stays there until it is handed back: the
// next photo of a burst is gathered into pages that are already the
// process's, where fresh pages would cost a fault each (and a first touch
// by the kernel when the photo is written out). Call once, before
// libgphoto2 is used.
void keepFreedBuffersForReuse();

// Hands every whole page that freed buffers left in the heap back to the
// system, so that memory taken during a burst does not stay with an idle
// process. Call every few seconds, and when the camera closes (which frees
// the photos that libgphoto2's cache held).
void handBackFreedMemory();

// The same once the process holds more than half as much again as it has
// in use, so that free memory does not pile up while photos keep coming
// faster than every few seconds. Call after each download.
void handBackFreedMemoryPastHalf();
