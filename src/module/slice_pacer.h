// Spacing out, in time, the slices of work that the main thread does for the module after a call
// has ended (the release of an interrupted call's partial result).
//
// The slices run as pending calls (Py_AddPendingCall): the interpreter's main thread runs them
// between the bytecodes of whatever it runs. It drains its queue of pending calls in one loop,
// though (CPython 3.11 to 3.15 pop up to 32 calls in a row, including those queued meanwhile), so
// a slice that queued the next one itself would have them all run back to back. Instead, a helper
// thread of the module's own queues one slice at a time, and only once the previous slice ended
// kPause ago: whatever the main thread runs gets at least that time between two slices. The
// helper touches no Python object and calls nothing of the interpreter but Py_AddPendingCall
// (which needs neither the interpreter lock nor a thread state; before CPython 3.13 the helper
// takes the lock around it all the same, see queue_slice). It exists only while work remains.
//
// - Exit: the helper must not call into an interpreter that is being torn down. An atexit
//   callback stops it and waits until it has, before the teardown begins; no slice runs and no
//   helper starts after that, and whatever was still waiting stays until the process ends.
// - fork: the child has no helper. A fork hook forgets the parent's and starts the child's own
//   while work remains. A slice queued twice (the child cannot know whether the parent's last
//   one came along) does its work once.
// - Reentrancy: slices never nest (the interpreter does not run pending calls inside pending
//   calls), and the work must allow more of it to be handed over at any time, also from a
//   signal handler inside a call, or from whatever Python code a slice happens to set off.
#pragma once

#include "boundary/py_err.h"

namespace dorvane {

// One slice: with the interpreter lock held, on the main thread, does a few milliseconds of work
// (all of it when `everything`) and says whether work remains.
using SliceWork = bool (*)(bool everything);
// Work that needs no interpreter (freeing native memory), which the helper thread does between
// the slices and before it ends.
using HelperWork = void (*)();

// Registers the exit and fork hooks that pacing needs, once, at import. Without them, pacing
// never starts (see pace_slices).
PyStatus install_slice_pacer_hooks();

// Runs slices of `work` until it says that none remains, the first one kPause from now unless
// slices are running already, and `helper_work` on the helper thread. False when the slices cannot
// be paced (the interpreter is exiting, the hooks are missing, or no thread can be started): the
// caller then does the work at once. Needs the interpreter lock.
bool pace_slices(SliceWork work, HelperWork helper_work);

}  // namespace dorvane
