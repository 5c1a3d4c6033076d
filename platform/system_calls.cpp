#include "platform/system_calls.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace vorbit {
namespace {

// Kernel file systems whose files are views of kernel state: reading one can take hours
// (/proc/self/pagemap) or consume what its real reader waits for (/proc/kmsg).
constexpr std::array<unsigned long, 19> kPseudoFileSystems = {
    PROC_SUPER_MAGIC,
    SYSFS_MAGIC,
    DEBUGFS_MAGIC,
    TRACEFS_MAGIC,
    SECURITYFS_MAGIC,
    CGROUP_SUPER_MAGIC,
    CGROUP2_SUPER_MAGIC,
    BPF_FS_MAGIC,
    PSTOREFS_MAGIC,
    0x62656570 /* configfs */,
    EFIVARFS_MAGIC,
    DEVPTS_SUPER_MAGIC,
    0x19800202 /* mqueue */,
    BINFMTFS_MAGIC,
    0x65735543 /* fusectl */,
    SELINUX_MAGIC,
    AUTOFS_SUPER_MAGIC,
    SMACK_MAGIC,
    NSFS_MAGIC,
};

}  // namespace

void SystemCalls::close(int fd) const {
  release(SystemCall::close, [&] { ::close(fd); });
}

int openNoAtime(const SystemCalls& calls, SystemCall which, int dirFd, const char* path,
                int flags) {
  const int fd = calls.make(which, path, [&] { return ::openat(dirFd, path, flags | O_NOATIME); });
  if (fd != kNoDescriptor || errno != EPERM) return fd;
  return calls.make(which, path, [&] { return ::openat(dirFd, path, flags); });
}

bool onPseudoFileSystem(const SystemCalls& calls, int fd, int& error) {
  struct statfs fs;
  const bool told = calls.make(SystemCall::fstatfs, [&] { return ::fstatfs(fd, &fs); }) == 0;
  error = told ? 0 : errno;
  if (!told) return true;
  const auto type = static_cast<unsigned long>(fs.f_type);
  return std::find(kPseudoFileSystems.begin(), kPseudoFileSystems.end(), type) !=
         kPseudoFileSystems.end();
}

FileKind kindOf(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return FileKind::regularFile;
  if (S_ISDIR(st.st_mode)) return FileKind::directory;
  return FileKind::other;
}

FileIdentity identityOf(const struct stat& st) {
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

int identityOfOpen(const SystemCalls& calls, int fd, FileIdentity& identity) {
  struct stat st;
  if (calls.make(SystemCall::fstat, [&] { return ::fstat(fd, &st); }) != 0) return errno;
  identity = identityOf(st);
  return 0;
}

int duplicateDescriptor(const SystemCalls& calls, int fd) {
  return calls.make(SystemCall::fcntl, [&] { return ::fcntl(fd, F_DUPFD_CLOEXEC, 0); });
}

std::uint64_t descriptorLimit(const SystemCalls& calls, std::uint64_t wanted) {
  rlimit limit{};
  if (calls.make(SystemCall::getrlimit, [&] { return ::getrlimit(RLIMIT_NOFILE, &limit); }) != 0) {
    return 0;
  }
  if (limit.rlim_cur < wanted && limit.rlim_max > limit.rlim_cur) {
    rlimit raised{std::min<rlim_t>(wanted, limit.rlim_max), limit.rlim_max};
    if (calls.make(SystemCall::setrlimit, [&] { return ::setrlimit(RLIMIT_NOFILE, &raised); }) ==
        0) {
      limit = raised;
    }
  }
  return limit.rlim_cur;
}

std::uint64_t memoryBytes(const SystemCalls& calls) {
  struct sysinfo memory {};
  if (calls.make(SystemCall::sysinfo, [&] { return ::sysinfo(&memory); }) != 0) return 0;
  return std::uint64_t{memory.totalram} * memory.mem_unit;
}

void adviseWillNeed(const SystemCalls& calls, int fd, std::uint64_t offset, std::uint64_t length) {
  calls.check(SystemCall::fadvise, [&] {
    return ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                           POSIX_FADV_WILLNEED);
  });
}

}  // namespace vorbit
