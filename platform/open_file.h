#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/cache_temperature.h"
#include "platform/platform.h"
#include "platform/system_calls.h"

namespace vorbit {

// How a name is opened. A name listed as a regular file is opened as it is, never through a
// link put in its place: one that has become a link is read through as the link it now is. A
// link, or a target, is first opened as a path only (O_PATH: no device's driver runs, no FIFO
// opens) and read only where it leads to a regular file.
enum class Through { name, link };

// Whether an open waits while another process gives up a write lease it holds on the file (the
// kernel asks it to, and breaks the lease after /proc/sys/fs/lease-break-time), or gives up.
enum class LeaseWait { wait, giveUp };

// A descriptor open for reading, or -1 and why: the errno of the call that failed, or 0 where
// there was nothing to open by design (no regular file, a kernel pseudo file system).
struct Descriptor {
  int fd = kNoDescriptor;
  int error = 0;
};

// Opens the name relative to the directory descriptor (AT_FDCWD: a path) for reading, without
// moving its access time, blocking or taking a terminal. directoryDevice: the device of the
// directory the name was listed in, on which the file system is known to have contents.
Descriptor openForReading(const SystemCalls& calls, int dirFd, const std::string& name,
                          Through through, std::optional<std::uint64_t> directoryDevice,
                          LeaseWait lease);

// What an open file reports as it is read: the run's count of bytes, and for a file of a walk
// that reads ahead, what its first read found in the page cache (null: no one asks).
struct ReadReport {
  std::uint64_t* bytesRead = nullptr;
  CacheTemperature* temperature = nullptr;
  bool readAhead = false;  // the file was read ahead: its data being cached says nothing
};

// Takes the descriptor as an open file: none (and the descriptor closed) unless it is a regular
// file on a file system with contents and still has a name.
OpenResult adoptRegularFile(const SystemCalls& calls, int fd,
                            std::optional<std::uint64_t> directoryDevice, const ReadReport& report);

// Whether the first byte of the open regular file on its directory's device is in the page
// cache, read without waiting for the disk; nothing when the file cannot tell: it is something
// else, or has no data on the disk (empty, holes only), which no read waits for. Nothing else is
// read: over the entry a pseudo file may be mounted, whose reads do something.
std::optional<bool> firstByteCached(const SystemCalls& calls, int fd,
                                    std::uint64_t directoryDevice);

// Whether the first page of the open regular file is in the page cache, asked without reading
// (a read that finds it missing starts the kernel reading it, however it is made): false when it
// is not, or the question cannot be asked.
bool firstPageResident(const SystemCalls& calls, int fd);

// Which inode the open descriptor is and its size, or nothing when it is not a regular file or
// cannot be looked at.
struct RegularFileLook {
  FileIdentity identity;
  std::uint64_t bytes = 0;
};
std::optional<RegularFileLook> lookAtRegularFile(const SystemCalls& calls, int fd);

}  // namespace vorbit
