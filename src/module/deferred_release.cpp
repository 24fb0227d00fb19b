#include "module/deferred_release.h"

#include <Python.h>

#include <cstddef>
#include <utility>

namespace dorvane {

namespace {

// About how many dict entries one slice frees: a few milliseconds' work.
constexpr std::size_t kEntriesPerSlice = 100'000;

// The objects waiting for release, oldest first, and where the next slice starts. Touched only
// with the interpreter lock held, by the calls that add to it and by the pending call.
struct Waiting {
  Vec<PyRef> objects;
  std::size_t next = 0;
  bool scheduled = false;
};

Waiting& waiting() {
  // Never destroyed: objects still waiting when the process ends go with it.
  static Waiting* instance = new Waiting();
  return *instance;
}

int release_slice(void*);

// Asks the interpreter to run the next slice; without room in its queue of pending calls,
// releases everything now.
void schedule(Waiting& queue) {
  queue.scheduled = Py_AddPendingCall(&release_slice, nullptr) == 0;
  if (!queue.scheduled) {
    Vec<PyRef> rest = std::move(queue.objects);
    queue.next = 0;
  }
}

int release_slice(void*) {
  Waiting& queue = waiting();
  queue.scheduled = false;
  std::size_t freed = 0;
  while (queue.next < queue.objects.size() && freed < kEntriesPerSlice) {
    PyRef& object = queue.objects[queue.next++];
    freed +=
        1 +
        (PyDict_Check(object.get()) ? static_cast<std::size_t>(PyDict_GET_SIZE(object.get())) : 0);
    object = PyRef();
  }
  if (queue.next == queue.objects.size()) {
    queue.objects = Vec<PyRef>();
    queue.next = 0;
    return 0;
  }
  schedule(queue);
  return 0;
}

}  // namespace

void release_in_slices(Vec<PyRef> objects) {
  Waiting& queue = waiting();
  for (PyRef& object : objects)
    queue.objects.push_back(std::move(object));
  if (!queue.scheduled) schedule(queue);
}

}  // namespace dorvane
