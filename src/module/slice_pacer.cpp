#include "module/slice_pacer.h"

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "boundary/py_ref.h"
#include "boundary/python_compat.h"
#include "platform/platform.h"

namespace dorvane {

namespace {

using Clock = std::chrono::steady_clock;

// The main thread's own time between the end of one slice and the start of the next.
constexpr Clock::duration kPause = std::chrono::milliseconds(4);

enum HelperState : uint32_t { kNoHelper = 0, kHelperRuns = 1 };

// Shared by the helper thread and the threads that hold the interpreter lock. Constant-initialised
// and trivially destructible, so that they exist from before the first call to after the last,
// whatever the order of static construction and destruction. Every access is seq_cst: they are
// few, and the hand-offs between the helper and the main thread (below) rely on a total order.
constinit std::atomic<uint32_t> helper{kNoHelper};
// Bumped on every change that the helper may be waiting for (a queued slice ended, exit).
constinit std::atomic<uint32_t> changes{0};
// A slice is queued (or about to be), or running.
constinit std::atomic<bool> queued{false};
// Work remains.
constinit std::atomic<bool> wanted{false};
// The interpreter is exiting: no slice runs and no helper starts any more.
constinit std::atomic<bool> stopped{false};
// No slice starts before this time (the clock's count since its epoch).
constinit std::atomic<Clock::rep> next_start{0};
constinit std::atomic<SliceWork> current_work{nullptr};
constinit std::atomic<HelperWork> current_helper_work{nullptr};

// Written at import and read by pace_slices, both with the interpreter lock held.
bool hooks_installed = false;

Clock::rep now() {
  return Clock::now().time_since_epoch().count();
}

void bump_changes() {
  changes.fetch_add(1);
  platform::wake_all(changes);
}

// The pending call: one slice, unless pacing stopped or the slice came too soon (a second copy
// of the one queued, in a forked child). The helper waits until it is over.
int run_slice(void*) noexcept {
  if (!stopped.load() && !compat::is_finalizing() && now() >= next_start.load()) {
    const bool more = current_work.load()(false);
    next_start.store(now() + kPause.count());
    if (!more) wanted.store(false);
  }
  queued.store(false);
  bump_changes();
  return 0;
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
  const bool done = Py_AddPendingCall(&run_slice, nullptr) == 0;
  PyGILState_Release(state);
  return done;
#else
  return Py_AddPendingCall(&run_slice, nullptr) == 0;
#endif
}

// The helper's way out: true when it should end. Work handed over just as it was leaving keeps
// it running: either pace_slices sees no helper and starts one, or this sees the work.
bool helper_may_end() {
  helper.store(kNoHelper);
  platform::wake_all(helper);
  if (stopped.load() || !wanted.load()) return true;
  uint32_t none = kNoHelper;
  return !helper.compare_exchange_strong(none, kHelperRuns);
}

void run_helper(void*) {
  for (;;) {
    const uint32_t seen = changes.load();
    current_helper_work.load()();
    if (stopped.load() || !wanted.load()) {
      // What the last slice left is done above: it came before `wanted` was cleared.
      if (helper_may_end()) return;
      continue;
    }
    if (queued.load()) {
      // Until the slice has run (or exit): the main thread may be busy for a long while.
      platform::wait_on_address(changes, seen);
      continue;
    }
    const Clock::rep wait = next_start.load() - now();
    if (wait > 0) {
      std::this_thread::sleep_for(Clock::duration(wait));
      continue;
    }
    queued.store(true);
    if (!queue_slice()) {
      // The interpreter's queue is full: try again a little later.
      queued.store(false);
      std::this_thread::sleep_for(kPause);
    }
  }
}

// Starts a helper unless one runs; false when none could be started.
bool ensure_helper() {
  uint32_t none = kNoHelper;
  if (!helper.compare_exchange_strong(none, kHelperRuns)) return true;
  if (platform::spawn_detached_thread(&run_helper, nullptr) == 0) return true;
  helper.store(kNoHelper);
  return false;
}

// atexit: stops pacing and waits until the helper is gone, which checks for exit at least every
// kPause. The interpreter lock is let go meanwhile: the helper may be waiting for it.
PyObject* stop_pacing(PyObject*, PyObject*) {
  stopped.store(true);
  bump_changes();
  PyThreadState* saved = PyEval_SaveThread();
  for (uint32_t state = helper.load(); state != kNoHelper; state = helper.load()) {
    platform::wait_on_address(helper, state);
  }
  PyEval_RestoreThread(saved);
  Py_RETURN_NONE;
}

// In a forked child, inside fork() (plain stores only): the parent's helper did not come along,
// and the parent's last slice may or may not be in the child's queue. Also for a fork that the
// interpreter does not know of, so that stop_pacing never waits for a helper that is not there.
void forget_helper() {
  helper.store(kNoHelper);
  queued.store(false);
}

// os.register_at_fork(after_in_child=...), once the interpreter works again in the child.
PyObject* restart_pacing_in_child(PyObject*, PyObject*) {
  if (wanted.load() && !stopped.load() && !ensure_helper()) {
    current_work.load()(true);
    wanted.store(false);
  }
  Py_RETURN_NONE;
}

PyMethodDef stop_definition = {"stop_paced_slices", &stop_pacing, METH_NOARGS, nullptr};
PyMethodDef restart_definition = {"restart_paced_slices", &restart_pacing_in_child, METH_NOARGS,
                                  nullptr};

}  // namespace

PyStatus install_slice_pacer_hooks() {
  if (hooks_installed) return kDone;
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
    PyRef register_at_fork = PyRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    if (!register_at_fork) return PyErr::fetch();
    PyRef no_arguments = PyRef::steal(PyTuple_New(0));
    PyRef keywords = PyRef::steal(PyDict_New());
    if (!no_arguments || !keywords ||
        PyDict_SetItemString(keywords.get(), "after_in_child", restart.get()) < 0) {
      return PyErr::fetch();
    }
    PyRef done =
        PyRef::steal(PyObject_Call(register_at_fork.get(), no_arguments.get(), keywords.get()));
    if (!done) return PyErr::fetch();
  }
  platform::on_fork_child(&forget_helper);
  hooks_installed = true;
  return kDone;
}

bool pace_slices(SliceWork work, HelperWork helper_work) {
  if (!hooks_installed || stopped.load()) return false;
  current_work.store(work);
  current_helper_work.store(helper_work);
  if (!wanted.exchange(true)) next_start.store(now() + kPause.count());
  if (ensure_helper()) return true;
  wanted.store(false);
  return false;
}

}  // namespace dorvane
