// Releasing a large group of objects a slice at a time, after the call that made them has ended.
//
// A call interrupted by Ctrl-C holds the part of its result built so far: up to gigabytes of
// dicts and floats, which take the interpreter a while to free. Freed on the spot, they would hold
// back the KeyboardInterrupt; instead the call hands them over here and raises at once, and the
// interpreter releases them in slices of a few milliseconds at its next pending-call points,
// between the bytecodes of whatever runs next.
#pragma once

#include "boundary/py_ref.h"
#include "platform/memory.h"

namespace dorvane {

// Takes over `objects` and releases them slice by slice, in order, on the main thread. Without a
// way to schedule that (the interpreter's queue of pending calls is full), releases them now.
// Needs the interpreter lock.
void release_in_slices(Vec<PyRef> objects);

}  // namespace dorvane
