#pragma once

#include <string_view>

namespace vorbit {

// The system calls Platform makes, for a fault injector to tell apart.
enum class SystemCall {
  getcwd,
  stat,
  open,
  openat,
  fdopendir,
  readdir,
  closedir,
  fstatat,
  fstat,
  fstatfs,
  read,
  pread,
  lseek,
  preadv2,
  fadvise,
  getrlimit,
  io_uring_setup,
  io_uring_enter,
  io_uring_register,
  close,
  fgetxattr,
  fsetxattr,
  write,
  poll,
  ioctl,
  fcntl,
  setrlimit,
  sysinfo,
  mmap,
  mincore,
  munmap,
};

// Decides, call by call, whether a system call fails before it is made. Tests use it to make
// every call of a run fail in turn, or to change the tree between two calls; the program itself
// runs without one.
class FaultInjector {
 public:
  virtual ~FaultInjector() = default;

  // The errno the call fails with, or 0 to make it for real. name is the path or name the call
  // is given (relative to its directory for openat and fstatat), or empty for a call given none.
  virtual int errorFor(SystemCall call, std::string_view name) = 0;
};

}  // namespace vorbit
