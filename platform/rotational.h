#pragma once

#include <cstdint>
#include <string>

#include "platform/system_calls.h"

namespace vorbit {

// What reading a file system's files in their order on its disk depends on: whether the device
// it lies on turns (a disk whose head must travel between files), and the most the kernel reads
// for one request to read ahead (the larger of the queue's read-ahead and of its largest
// request).
struct DiskQueue {
  bool rotational = false;
  std::uint64_t requestBytes = 0;  // 0 where the queue does not say
};

// The queue of the block device `device` (a file's st_dev), from sysfs below `sysfs` ("/sys";
// tests give a tree of their own). A partition is its disk's queue; a device built on others
// (device-mapper, md, a loop device over a disk: the devices in its slaves/) turns if one of
// those below it turns, all the way down. A device sysfs does not know (a file system without
// one, tmpfs, FUSE, btrfs's anonymous devices), whose files cannot be read, or a virtio disk
// (which says it turns whatever the host's storage is) counts as not turning.
DiskQueue diskQueueOf(const SystemCalls& calls, std::uint64_t device,
                      const std::string& sysfs = "/sys");

}  // namespace vorbit
