// Linux implementation of the operating-system layer.
#include "platform/platform.h"
#include "platform/system_threads.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <system_error>

namespace dorvane::platform {

namespace {

constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

void* thread_entry(void* start) {
  system_threads::run_thread(start);
  return nullptr;
}

// Relaxed: the only writer is the child's handler, which runs on the child's only thread before
// anything else there can read it.
constinit std::atomic<uint32_t> forks{0};

// ForkAtomic's bookkeeping: the forks under way (between their prepare and parent handlers) and
// the threads inside a ForkAtomic. All seq_cst: entering (add to `inside`, then read `forking`)
// and forking (add to `forking`, then read `inside`) are the two halves of Dekker's handshake, so
// at least one of them sees the other and steps back or waits. Neither can wait for ever: a thread
// inside does a short step that needs nothing the forking thread holds (the C library takes its
// allocator's locks only after every prepare handler has run), and a fork is over once the kernel
// has copied the process.
constinit std::atomic<uint32_t> forking{0};
constinit std::atomic<uint32_t> inside{0};

void leave_fork_atomic() {
  // The last one out wakes a fork that waits for it.
  if (inside.fetch_sub(1) == 1 && forking.load() != 0) wake_all(inside);
}

void before_fork() {
  forking.fetch_add(1);
  for (uint32_t count = inside.load(); count != 0; count = inside.load()) {
    wait_on_address(inside, count);
  }
}

void after_fork_in_parent() {
  forking.fetch_sub(1);
  wake_all(forking);
}

void after_fork_in_child() {
  // The child's only thread is the one that forked: no other is inside, or forking.
  inside.store(0);
  forking.store(0);
  forks.fetch_add(1, std::memory_order_relaxed);
}

long futex(const std::atomic<uint32_t>& word, int op, uint32_t value) {
  // The futex word is the atomic's storage; std::atomic<uint32_t> is layout-compatible with it.
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
  return syscall(SYS_futex, reinterpret_cast<const uint32_t*>(&word), op | FUTEX_PRIVATE_FLAG,
                 value, nullptr, nullptr, 0);
}

}  // namespace

void* map_memory(std::size_t bytes) noexcept {
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
#ifdef MADV_HUGEPAGE
  // The large blocks (the graph's arrays, the searches' working memory) are mapped afresh by every
  // call and filled at once: in huge pages, where the system offers them on request, that is one
  // fault per 2 MiB instead of 512, each of which costs microseconds (more under virtualisation).
  // Only advice: without huge pages the mapping works as before.
  if (bytes >= kHugePageBytes) madvise(memory, bytes, MADV_HUGEPAGE);
#endif
  return memory;
}

void unmap_memory(void* memory, std::size_t bytes) noexcept {
  munmap(memory, bytes);
}

namespace {

// getrandom through the system call itself: glibc declares it only from 2.25 on, and the wheels
// run on glibc 2.17. Fails with ENOSYS on kernels before 3.17, which lack it.
long system_getrandom(void* out, std::size_t size) {
#ifdef SYS_getrandom
  return syscall(SYS_getrandom, out, size, 0);
#else
  errno = ENOSYS;
  return -1;
#endif
}

// The random source of kernels without getrandom. False unless it gave every byte.
bool read_urandom(unsigned char* bytes, std::size_t size) {
  int file = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  while (size > 0) {
    ssize_t got = read(file, bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  close(file);
  return size == 0;
}

}  // namespace

void fill_random(void* out, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(out);
  while (size > 0) {
    long got = system_getrandom(bytes, size);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == ENOSYS && read_urandom(bytes, size)) return;
    if (got < 0) {
      write_stderr("dorvane: the operating system's random source failed\n");
      fail_fast();
    }
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
}

int system_threads::start_detached_thread(void* start) {
  pthread_attr_t attributes;
  if (int error = pthread_attr_init(&attributes)) return error;
  int error = pthread_attr_setstacksize(&attributes, kThreadStackBytes);
  if (error == 0) error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (error == 0) {
    pthread_t thread;
    error = pthread_create(&thread, &attributes, thread_entry, start);
  }
  pthread_attr_destroy(&attributes);
  return error;
}

unsigned processor_count() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1;
}

void yield_now() {
  sched_yield();
}

void wait_on_address(const std::atomic<uint32_t>& word, uint32_t expected) {
  futex(word, FUTEX_WAIT, expected);
}

void wake_all(const std::atomic<uint32_t>& word) {
  futex(word, FUTEX_WAKE, INT_MAX);
}

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

int watch_forks() {
  // Registered once: every fork after it is counted, in this process and its descendants.
  static const int error =
      pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
  return error;
}

uint32_t fork_generation() {
  return forks.load(std::memory_order_relaxed);
}

ForkAtomic::ForkAtomic() {
  for (;;) {
    inside.fetch_add(1);
    if (forking.load() == 0) return;
    // Out of the way of the fork, until it is over.
    leave_fork_atomic();
    for (uint32_t count = forking.load(); count != 0; count = forking.load()) {
      wait_on_address(forking, count);
    }
  }
}

ForkAtomic::~ForkAtomic() {
  leave_fork_atomic();
}

int out_of_memory_error() {
  return ENOMEM;
}

void write_stderr(std::string_view text) {
  while (!text.empty()) {
    ssize_t written = write(STDERR_FILENO, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

uint64_t current_thread_id() {
  return static_cast<uint64_t>(syscall(SYS_gettid));
}

void fail_fast() {
  std::abort();
}

OsErrorKind os_error_kind(int code) {
  switch (code) {
    case EAGAIN:
      return OsErrorKind::WouldBlock;
    case ENOMEM:
      return OsErrorKind::OutOfMemory;
    case EPERM:
    case EACCES:
      return OsErrorKind::PermissionDenied;
    case EINVAL:
      return OsErrorKind::InvalidInput;
    case ENOSYS:
    case ENOTSUP:
      return OsErrorKind::Unsupported;
    default:
      return OsErrorKind::Uncategorized;
  }
}

std::string os_error_message(int code) {
  return std::system_category().message(code);
}

}  // namespace dorvane::platform
