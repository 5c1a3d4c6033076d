#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "platform/fault_injector.h"
#include "platform/platform.h"

namespace vorbit {

// Where a descriptor is kept: none is open.
constexpr int kNoDescriptor = -1;

// Makes system calls: each is first offered to the fault injector (when there is one), and made
// again while a signal interrupts it. That is all it does.
class SystemCalls {
 public:
  explicit SystemCalls(FaultInjector* faults = nullptr) : faults_(faults) {}

  // A call that fails with -1 (or a null pointer) and sets errno; a failure leaves its errno in
  // errno for the caller's next line. name is the path or name the call is given, if any.
  template <typename Call>
  auto make(SystemCall which, Call call) const -> decltype(call()) {
    return make(which, std::string_view(), call);
  }
  template <typename Call>
  auto make(SystemCall which, std::string_view name, Call call) const -> decltype(call()) {
    using R = decltype(call());
    for (;;) {
      R result;
      if (const int injected = injectedError(which, name)) {
        errno = injected;
        result = failure<R>();
      } else {
        result = call();
      }
      if (!failed(result) || errno != EINTR) return result;
    }
  }

  // A call that reports its error by its return value, as a positive or negated errno (0 or a
  // non-negative count for success): 0, or the positive errno.
  template <typename Call>
  int check(SystemCall which, Call call) const {
    for (;;) {
      int error = injectedError(which, {});
      if (error == 0) {
        const int result = call();
        error = result < 0 ? -result : result;
      }
      if (error != EINTR) return error;
    }
  }

  // A call that releases what it is given (close, closedir, a ring's teardown): offered to the
  // fault injector, then made whatever it answers, and never again, since Linux releases a
  // descriptor whatever close returns.
  template <typename Call>
  void release(SystemCall which, Call call) const {
    injectedError(which, {});
    call();
  }
  void close(int fd) const;

 private:
  int injectedError(SystemCall which, std::string_view name) const {
    return faults_ != nullptr ? faults_->errorFor(which, name) : 0;
  }

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
};

// Opens with O_NOATIME, so that reading moves no access time, and without it where the kernel
// refuses it (O_NOATIME needs ownership of the file): the descriptor, or -1 with errno.
int openNoAtime(const SystemCalls& calls, SystemCall which, int dirFd, const char* path, int flags);

// Whether the descriptor's file system is a kernel pseudo file system (proc, sysfs and their
// kind), whose files are no contents to keep a digest of and may change what they are read
// from. A descriptor whose file system cannot be told counts as one, with the errno in error
// (0 otherwise).
bool onPseudoFileSystem(const SystemCalls& calls, int fd, int& error);

FileKind kindOf(const struct stat& st);

FileIdentity identityOf(const struct stat& st);

// Which file the descriptor is: 0, or the errno of the look.
int identityOfOpen(const SystemCalls& calls, int fd, FileIdentity& identity);

// A second descriptor of the same open file, closed on exec: the descriptor, or -1 with errno.
int duplicateDescriptor(const SystemCalls& calls, int fd);

// The soft limit on open descriptors, first raised towards `wanted` as far as the hard limit
// allows; 0 when it cannot be learned.
std::uint64_t descriptorLimit(const SystemCalls& calls, std::uint64_t wanted = 0);

// The machine's memory in bytes, or 0 when it cannot be learned.
std::uint64_t memoryBytes(const SystemCalls& calls);

// Asks the kernel to read these bytes of the file into the page cache, without waiting for them.
void adviseWillNeed(const SystemCalls& calls, int fd, std::uint64_t offset, std::uint64_t length);

}  // namespace vorbit
