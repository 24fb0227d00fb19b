// Releasing a large group of Python objects a slice at a time, after the call that made them has
// ended.
//
// A call interrupted by Ctrl-C holds the part of its result built so far: up to gigabytes of
// dicts and floats, which take the interpreter a while to free. Freed on the spot, they would hold
// back the handler's exception; instead the call hands them over here, whole vectors at a time,
// which costs the same whatever their size, and raises at once. The main thread then releases them
// in slices of a few milliseconds, with the program's own code running in between.
#pragma once

#include "boundary/py_err.h"
#include "boundary/py_ref.h"
#include "platform/memory.h"

namespace dorvane {

// Registers the exit and fork hooks that pacing needs, once, at import. Without them every
// release happens at once.
PyStatus install_paced_release();

// Takes over `objects` and releases them, in order, slice by slice, on the main thread. A large
// dict whose last reference is here is emptied item by item first, so that no slice has to free
// it whole. When the slices cannot be paced (no hooks, the interpreter exiting, no thread to be
// had), releases everything waiting now. Needs the interpreter lock.
void release_in_slices(Vec<PyRef> objects);

}  // namespace dorvane
