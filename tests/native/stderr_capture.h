// Collects what is written to standard error (file descriptor 2) while a capture is active, for
// tests of the diagnostics that panics write.
#pragma once

#include <unistd.h>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace dorvane::testing {

class StderrCapture {
 public:
  StderrCapture() {
    file_ = open_file();
    if (file_ == nullptr) {
      std::perror("cannot create the file that captures standard error");
      std::abort();
    }
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    dup2(fileno(file_), STDERR_FILENO);
#if defined(_WIN32)
    // Diagnostics go to the process's standard-error handle, which the C library's descriptor 2
    // does not steer.
    saved_handle_ = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(fileno(file_))));
#endif
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() { finish(); }

  // Ends the capture (the first time) and returns everything written since it began.
  std::string finish() {
    if (file_ != nullptr) {
      std::fflush(stderr);
#if defined(_WIN32)
      SetStdHandle(STD_ERROR_HANDLE, saved_handle_);
#endif
      dup2(saved_, STDERR_FILENO);
      close(saved_);
      std::rewind(file_);
      char buffer[4096];
      while (std::size_t got = std::fread(buffer, 1, sizeof(buffer), file_))
        text_.append(buffer, got);
      std::fclose(file_);
      file_ = nullptr;
#if defined(_WIN32)
      std::remove(path_.c_str());
#endif
    }
    return text_;
  }

 private:
#if defined(_WIN32)
  // The C library's tmpfile numbers its files per process, so test processes run side by side
  // can pick the same name and fail; this name has the process's id in it.
  std::FILE* open_file() {
    static unsigned count = 0;
    char directory[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof(directory), directory);
    if (length == 0 || length > MAX_PATH) return nullptr;
    path_ = std::string(directory) + "dorvane-stderr-" + std::to_string(GetCurrentProcessId()) +
            "-" + std::to_string(count++) + ".txt";
    return std::fopen(path_.c_str(), "w+b");
  }
  std::string path_;
#else
  static std::FILE* open_file() { return std::tmpfile(); }
#endif

  std::FILE* file_ = nullptr;
  int saved_ = -1;
#if defined(_WIN32)
  HANDLE saved_handle_ = nullptr;
#endif
  std::string text_;
};

// Number of times `part` occurs in `text`.
inline std::size_t count_of(std::string_view text, std::string_view part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string_view::npos;
       at = text.find(part, at + part.size()))
    ++count;
  return count;
}

}  // namespace dorvane::testing
