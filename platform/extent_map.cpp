#include "platform/extent_map.h"

#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>

namespace vorbit {

FirstExtent firstExtent(const SystemCalls& calls, int fd) {
  // The header and room for the one extent asked for after it.
  alignas(fiemap) std::byte buffer[sizeof(fiemap) + sizeof(fiemap_extent)] = {};
  auto* map = reinterpret_cast<fiemap*>(buffer);
  map->fm_length = FIEMAP_MAX_OFFSET;
  map->fm_extent_count = 1;
  if (calls.make(SystemCall::ioctl, [&] { return ::ioctl(fd, FS_IOC_FIEMAP, map); }) != 0) {
    const bool refused = errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL ||
                         errno == ENOSYS || errno == EBADR;
    return {refused ? Placement::refused : Placement::unplaced};
  }
  if (map->fm_mapped_extents == 0) return {Placement::noData};
  const fiemap_extent& first = map->fm_extents[0];
  if ((first.fe_flags & FIEMAP_EXTENT_DATA_INLINE) != 0) return {Placement::noData};
  if ((first.fe_flags & (FIEMAP_EXTENT_UNKNOWN | FIEMAP_EXTENT_DELALLOC)) != 0) {
    return {Placement::unplaced};
  }
  return {Placement::placed, first.fe_physical};
}

}  // namespace vorbit
