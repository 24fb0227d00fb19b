// The slices run as pending calls (Py_AddPendingCall): the interpreter's main thread runs them
// between the bytecodes of whatever it runs. It drains its queue of pending calls in one loop,
// though (CPython 3.11 to 3.15 pop up to 32 calls in a row, including those queued meanwhile), so
// a slice that queued the next one itself would have them all run back to back. Instead, a helper
// thread of the module's own queues one slice at a time, and only once the previous slice ended
// kPause ago: whatever the main thread runs gets at least that time between two slices. The
// helper touches no Python object and calls nothing of the interpreter but Py_AddPendingCall
// (which needs neither the interpreter lock nor a thread state; before CPython 3.13 the helper
// takes the lock around it all the same, see queue_slice), and it frees the emptied vectors of
// native memory. It exists only while work remains.
//
// - Exit: the helper must not call into an interpreter that is being torn down. An atexit
//   callback stops it and waits until it has, before the teardown begins; no slice runs and no
//   helper starts after that, and whatever was still waiting stays until the process ends.
// - fork: the child has none of the parent's threads. The helper's mark names the fork generation
//   it runs in, so the child sees no helper, and the interpreter's own after-fork hook starts the
//   child's while work remains. A slice queued twice (the child cannot know whether the parent's
//   last one came along) does its work once. The helper queues a slice as a ForkAtomic step: the
//   interpreter's queue is one of the things a child goes on using.
// - Reentrancy: slices never nest (the interpreter does not run pending calls inside pending
//   calls), and more objects may be handed over at any time, also from a signal handler inside a
//   call, or from whatever Python code a slice happens to set off.
#include "boundary/paced_release.h"

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <new>
#include <thread>
#include <utility>

#include "boundary/python_compat.h"
#include "platform/countdown.h"
#include "platform/platform.h"

namespace dorvane {

namespace {

using Clock = Countdown::Clock;

// About how long one slice holds the interpreter: it ends at its first look at the clock after
// this.
constexpr Clock::duration kSliceTime = std::chrono::milliseconds(3);
// How much work (objects released, and the entries of the dicts freed with them) is done between
// two looks at the clock: some tens of microseconds.
constexpr std::size_t kWorkPerClockRead = 2048;
// The main thread's own time between the end of one slice and the start of the next.
constexpr Clock::duration kPause = std::chrono::milliseconds(4);

// Freeing a dict takes some tens of nanoseconds an entry. One larger than this is emptied item by
// item first, a slice's worth at a time.
constexpr Py_ssize_t kLargestFreedWhole = 16384;
// A batch's vector this long (a MiB or more) goes back to the system when freed, which takes
// milliseconds for the largest: once it holds no reference any more, the helper thread frees it.
constexpr std::size_t kVectorFreedApart = (std::size_t{1} << 20) / sizeof(PyRef);

// ---------------------------------------------------------------------------------------------
// The work: batches of objects, released in order

// One slice's time: over once kSliceTime has passed; never for a release of everything at once.
struct Slice {
  bool everything;
  Countdown clock{kWorkPerClockRead, kSliceTime};
  bool over = false;

  // Counts `work` done; true once the slice is over.
  bool spend(std::size_t work) {
    if (!over && !everything) over = clock.tick(work);
    return over;
  }
};

// Objects handed over together, released in order.
struct Batch {
  Vec<PyRef> objects;
  std::size_t next = 0;   // those before it are released
  bool emptying = false;  // the dict at `next` is being emptied item by item
};

// The batches waiting, oldest first. Touched only with the interpreter lock held.
Vec<Batch>& waiting() {
  // Never destroyed: objects still waiting when the process ends go with it.
  static Vec<Batch>* batches =
      ::new (allocate(sizeof(Vec<Batch>), alignof(Vec<Batch>))) Vec<Batch>();
  return *batches;
}

// Emptied vectors waiting for the helper thread to free them: a stack that the slices push onto
// and the helper takes whole. Only null PyRefs are left in them, so that freeing one touches no
// Python object.
struct Emptied {
  Vec<PyRef> storage;
  Emptied* next;
};
constinit std::atomic<Emptied*> emptied{nullptr};

// Gives `storage`, which holds no reference any more, to the helper thread; false when there is no
// memory for the note (the caller frees it then).
bool free_on_helper(Vec<PyRef>& storage) {
  auto* node = new (std::nothrow) Emptied{std::move(storage), nullptr};
  if (node == nullptr) return false;
  // Release: the helper, which takes the stack with acquire, sees the node complete.
  node->next = emptied.load(std::memory_order_relaxed);
  while (!emptied.compare_exchange_weak(node->next, node, std::memory_order_release,
                                        std::memory_order_relaxed)) {
  }
  return true;
}

// On the helper thread, without the interpreter lock.
void free_emptied() noexcept {
  // Acquire: pairs with the release of free_on_helper. The helper takes the whole stack, so a
  // node is never popped while pushed again (no ABA).
  Emptied* node = emptied.exchange(nullptr, std::memory_order_acquire);
  while (node != nullptr) {
    delete std::exchange(node, node->next);
  }
}

// The name "popitem", made once and kept for the life of the process; null if it cannot be made.
PyObject* popitem_name() {
  static PyObject* name = nullptr;
  if (name == nullptr) {
    name = PyUnicode_InternFromString("popitem");
    // Without it, large dicts are freed whole.
    if (name == nullptr) PyErr_Clear();
  }
  return name;
}

// Takes the items out of `dict`, whose last reference this is, one by one; false when the slice
// ended first. A dict whose items cannot be taken out (no memory for the item's tuple) is left to
// be freed whole.
bool empty_out(PyObject* dict, Slice& slice) {
  PyObject* name = popitem_name();
  while (name != nullptr && PyDict_GET_SIZE(dict) > 0) {
    if (slice.over) return false;
    PyObject* item = PyObject_CallMethodNoArgs(dict, name);
    if (item == nullptr) {
      // Only MemoryError can come from popping a dict that is not empty.
      PyErr_Clear();
      return true;
    }
    Py_DECREF(item);
    slice.spend(2);
  }
  return true;
}

// Releases the objects of `batch` in order until the slice ends; true when all are released.
bool release_from(Batch& batch, Slice& slice) {
  while (batch.next < batch.objects.size()) {
    if (slice.over) return false;
    PyRef& object = batch.objects[batch.next];
    std::size_t work = 1;
    PyObject* raw = object.get();
    if (raw != nullptr && PyDict_CheckExact(raw) && Py_REFCNT(raw) == 1) {
      const Py_ssize_t size = PyDict_GET_SIZE(raw);
      if (size > kLargestFreedWhole || (batch.emptying && size > 0)) {
        batch.emptying = true;
        // Emptied, its table (still sized for all those entries) is freed at the start of the
        // next slice: giving a large block back to the system takes milliseconds itself.
        if (!empty_out(raw, slice) || !slice.everything) return false;
      }
      batch.emptying = false;
      work += static_cast<std::size_t>(PyDict_GET_SIZE(raw));
    }
    object = PyRef();
    ++batch.next;
    slice.spend(work);
  }
  return true;
}

// One slice, or everything; true while objects wait.
bool release_slice(bool everything) {
  Slice slice{everything};
  // Worked on out of the queue: a call may hand over more meanwhile (from finalizers that a
  // collection, triggered by a popped item's tuple, runs).
  Vec<Batch> batches = std::move(waiting());
  std::size_t finished = 0;
  while (finished < batches.size()) {
    Batch& batch = batches[finished];
    if (!release_from(batch, slice)) break;
    if (everything || batch.objects.size() < kVectorFreedApart || !free_on_helper(batch.objects)) {
      batch.objects = Vec<PyRef>();
    }
    ++finished;
    // Each batch starts a slice of its own: its first object may be a large dict, whose table
    // alone takes milliseconds to give back.
    if (!everything) break;
  }
  batches.erase(batches.begin(), batches.begin() + static_cast<std::ptrdiff_t>(finished));
  Vec<Batch>& queue = waiting();
  for (Batch& later : queue)
    batches.push_back(std::move(later));
  queue = std::move(batches);
  return !queue.empty();
}

// ---------------------------------------------------------------------------------------------
// The pacing: the helper thread and the pending calls

// Shared by the helper thread and the threads that hold the interpreter lock. Constant-initialised
// and trivially destructible, so that they exist from before the first call to after the last,
// whatever the order of static construction and destruction. Every access is seq_cst: they are
// few, and the hand-offs between the helper and the main thread (below) rely on a total order.
//
// The helper's mark: 0 when there is none, else 1 + the fork generation it runs in (a mark of
// another generation is a helper that stayed behind in the parent).
constinit std::atomic<uint32_t> helper{0};
// Bumped on every change that the helper may be waiting for (a queued slice ended, exit).
constinit std::atomic<uint32_t> changes{0};
// A slice is queued (or about to be), or running: the same kind of mark as the helper's.
constinit std::atomic<uint32_t> queued{0};
// Work remains.
constinit std::atomic<bool> wanted{false};
// The interpreter is exiting: no slice runs and no helper starts any more.
constinit std::atomic<bool> stopped{false};
// No slice starts before this time (the clock's count since its epoch).
constinit std::atomic<Clock::rep> next_start{0};

// Written at import and read by release_in_slices, both with the interpreter lock held.
bool hooks_installed = false;

Clock::rep now() {
  return Clock::now().time_since_epoch().count();
}

// This process's mark for the helper and the queued slice.
uint32_t mark() {
  return platform::fork_generation() + 1;
}

void bump_changes() {
  changes.fetch_add(1);
  platform::wake_all(changes);
}

// The pending call: one slice, unless pacing stopped or the slice came too soon (a second copy
// of the one queued, in a forked child). The helper waits until it is over.
int run_slice(void*) noexcept {
  if (!stopped.load() && !compat::is_finalizing() && now() >= next_start.load()) {
    const bool more = release_slice(false);
    next_start.store(now() + kPause.count());
    if (!more) wanted.store(false);
  }
  queued.store(0);
  bump_changes();
  return 0;
}

// The interpreter's queue of pending calls is a ring of several words, guarded by a lock that a
// fork does not wait for: a child forked while this thread was adding to it would find the ring
// broken, and no call of its own would ever run there again.
bool add_pending_slice() {
  platform::ForkAtomic whole;
  return Py_AddPendingCall(&run_slice, nullptr) == 0;
}

// Queues a slice; false when the interpreter's queue of pending calls is full.
bool queue_slice() {
#if PY_VERSION_HEX < 0x030D0000
  // Before 3.13, queueing a pending call recomputes, as the queueing thread sees it, the flag that
  // makes the main thread look at its pending calls and signals: from another thread the call goes
  // unnoticed until the main thread happens to recompute the flag, and a signal that has just
  // arrived can be overlooked meanwhile. Holding the interpreter lock here, the helper lets the
  // main thread recompute the flag itself when it takes the lock back.
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool done = add_pending_slice();
  PyGILState_Release(state);
  return done;
#else
  return add_pending_slice();
#endif
}

// The helper's way out: true when it should end. Work handed over just as it was leaving keeps
// it running: either release_in_slices sees no helper and starts one, or this sees the work.
bool helper_may_end() {
  helper.store(0);
  platform::wake_all(helper);
  if (stopped.load() || !wanted.load()) return true;
  uint32_t none = 0;
  return !helper.compare_exchange_strong(none, mark());
}

void run_helper(void*) {
  for (;;) {
    const uint32_t seen = changes.load();
    free_emptied();
    if (stopped.load() || !wanted.load()) {
      // What the last slice left is freed above: it came before `wanted` was cleared.
      if (helper_may_end()) return;
      continue;
    }
    if (queued.load() == mark()) {
      // Until the slice has run (or exit): the main thread may be busy for a long while.
      platform::wait_on_address(changes, seen);
      continue;
    }
    const Clock::rep wait = next_start.load() - now();
    if (wait > 0) {
      std::this_thread::sleep_for(Clock::duration(wait));
      continue;
    }
    queued.store(mark());
    if (!queue_slice()) {
      // The interpreter's queue is full: try again a little later.
      queued.store(0);
      std::this_thread::sleep_for(kPause);
    }
  }
}

// Starts a helper unless one runs in this process; false when none could be started.
bool ensure_helper() {
  const uint32_t mine = mark();
  uint32_t seen = helper.load();
  do {
    if (seen == mine) return true;
  } while (!helper.compare_exchange_weak(seen, mine));
  // A forked child's copy of the parent's queued mark is no slice of its own.
  uint32_t parents = queued.load();
  if (parents != mine) queued.compare_exchange_strong(parents, 0);
  if (platform::spawn_detached_thread(&run_helper, nullptr) == 0) return true;
  helper.store(0);
  return false;
}

// atexit: stops pacing and waits until the helper is gone, which checks for exit at least every
// kPause. The interpreter lock is let go meanwhile: the helper may be waiting for it.
PyObject* stop_pacing(PyObject*, PyObject*) {
  stopped.store(true);
  bump_changes();
  PyThreadState* saved = PyEval_SaveThread();
  for (uint32_t state = helper.load(); state == mark(); state = helper.load()) {
    platform::wait_on_address(helper, state);
  }
  PyEval_RestoreThread(saved);
  Py_RETURN_NONE;
}

// os.register_at_fork(after_in_child=...): the child's own helper, while work remains.
PyObject* restart_pacing_in_child(PyObject*, PyObject*) {
  if (wanted.load() && !stopped.load() && !ensure_helper()) {
    release_slice(true);
    wanted.store(false);
  }
  Py_RETURN_NONE;
}

PyMethodDef stop_definition = {"stop_paced_slices", &stop_pacing, METH_NOARGS, nullptr};
PyMethodDef restart_definition = {"restart_paced_slices", &restart_pacing_in_child, METH_NOARGS,
                                  nullptr};

// Runs slices until none remains, the first one kPause from now unless slices are running
// already; false when the slices cannot be paced.
bool pace_slices() {
  if (!hooks_installed || stopped.load()) return false;
  if (!wanted.exchange(true)) next_start.store(now() + kPause.count());
  if (ensure_helper()) return true;
  wanted.store(false);
  return false;
}

}  // namespace

PyStatus install_paced_release() {
  if (hooks_installed) return kDone;
  // Without fork generations a child would take its parent's helper for its own.
  if (platform::watch_forks() != 0) return kDone;
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return PyErr::fetch();
  PyRef stop = PyRef::steal(PyCFunction_New(&stop_definition, nullptr));
  if (!stop) return PyErr::fetch();
  PyRef registered = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", stop.get()));
  if (!registered) return PyErr::fetch();

  PyRef os = PyRef::steal(PyImport_ImportModule("os"));
  if (!os) return PyErr::fetch();
  // Where there is no fork there is nothing to restart.
  if (PyObject_HasAttrString(os.get(), "register_at_fork")) {
    PyRef restart = PyRef::steal(PyCFunction_New(&restart_definition, nullptr));
    if (!restart) return PyErr::fetch();
    PyRef name = PyRef::steal(PyUnicode_FromString("register_at_fork"));
    PyRef keyword = PyRef::steal(Py_BuildValue("(s)", "after_in_child"));
    if (!name || !keyword) return PyErr::fetch();
    // os.register_at_fork(after_in_child=restart)
    PyObject* arguments[] = {os.get(), restart.get()};
    PyRef done = PyRef::steal(PyObject_VectorcallMethod(name.get(), arguments, 1, keyword.get()));
    if (!done) return PyErr::fetch();
  }
  hooks_installed = true;
  return kDone;
}

void release_in_slices(Vec<PyRef> objects) {
  if (objects.empty()) return;
  waiting().push_back(Batch{std::move(objects)});
  if (!pace_slices()) release_slice(true);
}

}  // namespace dorvane
