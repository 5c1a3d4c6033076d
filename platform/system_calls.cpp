#include "platform/system_calls.h"

#include <fcntl.h>
#include <linux/magic.h>
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
  if (fd >= 0 || errno != EPERM) return fd;
  return calls.make(which, path, [&] { return ::openat(dirFd, path, flags); });
}

bool onPseudoFileSystem(const SystemCalls& calls, int fd) {
  struct statfs fs;
  if (calls.make(SystemCall::fstatfs, [&] { return ::fstatfs(fd, &fs); }) != 0) return true;
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

}  // namespace vorbit
