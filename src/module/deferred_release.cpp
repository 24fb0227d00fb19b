#include "module/deferred_release.h"

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <new>
#include <utility>

#include "module/slice_pacer.h"

namespace dorvane {

namespace {

using Clock = std::chrono::steady_clock;

// About how long one slice holds the interpreter: it ends at its first look at the clock after
// this.
constexpr Clock::duration kSliceTime = std::chrono::milliseconds(3);

// How much work (objects released, and the entries of the dicts freed with them) is done between
// two looks at the clock: some tens of microseconds.
constexpr std::size_t kWorkPerClockRead = 2048;

// Freeing a dict takes some tens of nanoseconds an entry. One larger than this is emptied item by
// item first, a slice's worth at a time.
constexpr Py_ssize_t kLargestFreedWhole = 16384;

// A batch's vector this long (a MiB or more) goes back to the system when freed, which takes
// milliseconds for the largest: once it holds no reference any more, the helper thread frees it.
constexpr std::size_t kVectorFreedApart = (std::size_t{1} << 20) / sizeof(PyRef);

class SliceBudget {
 public:
  explicit SliceBudget(bool unlimited)
      : end_(unlimited ? Clock::time_point::max() : Clock::now() + kSliceTime) {}

  bool unlimited() const { return end_ == Clock::time_point::max(); }

  void spend(std::size_t work) { unread_ += work; }

  // Whether the slice has had its time; looks at the clock once per kWorkPerClockRead of work.
  bool spent() {
    if (spent_) return true;
    if (unread_ < kWorkPerClockRead) return false;
    unread_ = 0;
    spent_ = Clock::now() >= end_;
    return spent_;
  }

 private:
  Clock::time_point end_;
  std::size_t unread_ = 0;
  bool spent_ = false;
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
  static Vec<Batch>* batches = new Vec<Batch>();
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
bool empty_out(PyObject* dict, SliceBudget& budget) {
  PyObject* name = popitem_name();
  while (name != nullptr && PyDict_GET_SIZE(dict) > 0) {
    if (budget.spent()) return false;
    PyObject* item = PyObject_CallMethodNoArgs(dict, name);
    if (item == nullptr) {
      // Only MemoryError can come from popping a dict that is not empty.
      PyErr_Clear();
      return true;
    }
    Py_DECREF(item);
    budget.spend(2);
  }
  return true;
}

// Releases the objects of `batch` in order until the slice ends; true when all are released.
bool release_from(Batch& batch, SliceBudget& budget) {
  while (batch.next < batch.objects.size()) {
    if (budget.spent()) return false;
    PyRef& object = batch.objects[batch.next];
    std::size_t work = 1;
    PyObject* raw = object.get();
    if (raw != nullptr && PyDict_CheckExact(raw) && Py_REFCNT(raw) == 1) {
      const Py_ssize_t size = PyDict_GET_SIZE(raw);
      if (size > kLargestFreedWhole || (batch.emptying && size > 0)) {
        batch.emptying = true;
        // Emptied, its table (still sized for all those entries) is freed at the start of the
        // next slice: giving a large block back to the system takes milliseconds itself.
        if (!empty_out(raw, budget) || !budget.unlimited()) return false;
      }
      batch.emptying = false;
      work += static_cast<std::size_t>(PyDict_GET_SIZE(raw));
    }
    object = PyRef();
    ++batch.next;
    budget.spend(work);
  }
  return true;
}

// One slice, or everything; true while objects wait.
bool release_slice(bool everything) {
  SliceBudget budget(everything);
  // Worked on out of the queue: a call may hand over more meanwhile (from finalizers that a
  // collection, triggered by a popped item's tuple, runs).
  Vec<Batch> batches = std::move(waiting());
  std::size_t finished = 0;
  while (finished < batches.size()) {
    Batch& batch = batches[finished];
    if (!release_from(batch, budget)) break;
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

}  // namespace

void release_in_slices(Vec<PyRef> objects) {
  if (objects.empty()) return;
  waiting().push_back(Batch{std::move(objects)});
  if (!pace_slices(&release_slice, &free_emptied)) release_slice(true);
}

}  // namespace dorvane
