#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <type_traits>

#include "platform/fault_injector.h"
#include "platform/platform.h"

namespace vorbit {

// Makes system calls, each first offered to the fault injector (when there is one) and each
// made again when a signal interrupted it; close and closedir are not, since Linux releases the
// descriptor whatever close returns. A failed call leaves its errno in errno for the caller's next
// line.
class SystemCalls {
 public:
  explicit SystemCalls(FaultInjector* faults, std::uint64_t* bytesRead = nullptr)
      : faults_(faults), bytesRead_(bytesRead) {}

  template <typename Call>
  auto make(SystemCall which, Call call) const -> decltype(call()) {
    return make(which, std::string_view(), call);
  }

  // The same, for a call given a path or a name, which the fault injector is told.
  template <typename Call>
  auto make(SystemCall which, std::string_view name, Call call) const -> decltype(call()) {
    using R = decltype(call());
    for (;;) {
      R result;
      const int injected = faults_ != nullptr ? faults_->errorFor(which, name) : 0;
      if (injected != 0) {
        // A failed close still releases what it closes, so the injected failure does too.
        if (which == SystemCall::close || which == SystemCall::closedir) call();
        errno = injected;
        result = failure<R>();
      } else {
        errno = 0;  // readdir tells its end from an error only by errno
        result = call();
      }
      if (!failed(result) || errno != EINTR || which == SystemCall::close ||
          which == SystemCall::closedir) {
        return result;
      }
    }
  }

  // Opens with O_NOATIME, so that reading moves no access time, and without it where the
  // kernel refuses it (O_NOATIME needs ownership of the file).
  int openNoAtime(SystemCall which, int dirFd, const char* path, int flags) const;

  void close(int fd) const;

  // The file system of the descriptor is a kernel pseudo file system (proc, sysfs and their
  // kind), whose files are no contents to keep a digest of and may change what they are read
  // from. A descriptor whose file system cannot be told counts as one.
  bool onPseudoFileSystem(int fd) const;

  // Adds to the run's count of bytes read, which a progress line shows.
  void countRead(std::size_t bytes) const {
    if (bytesRead_ != nullptr) *bytesRead_ += bytes;
  }

 private:
  template <typename R>
  static R failure() {
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return -1;
    }
  }

  template <typename R>
  static bool failed(R result) {
    if constexpr (std::is_pointer_v<R>) {
      return result == nullptr;
    } else {
      return result < 0;
    }
  }

  FaultInjector* faults_;
  std::uint64_t* bytesRead_;
};

FileKind kindOf(const struct stat& st);

FileIdentity identityOf(const struct stat& st);

}  // namespace vorbit
