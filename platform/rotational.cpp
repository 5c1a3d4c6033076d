#include "platform/rotational.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <vector>

namespace vorbit {
namespace {

// Devices stacked deeper than this (dm on md on dm ...) are not followed further down.
constexpr int kMaxDepth = 8;

// The start of a small sysfs file; empty when it cannot be read.
std::string readStart(const SystemCalls& calls, const std::string& path) {
  const int fd = calls.make(SystemCall::open, path,
                            [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY); });
  if (fd == kNoDescriptor) return {};
  char text[32];
  const ssize_t n =
      calls.make(SystemCall::pread, [&] { return ::pread(fd, text, sizeof text, 0); });
  calls.close(fd);
  return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
}

// The first line of a small sysfs file as a number; nothing when it cannot be read.
std::optional<std::uint64_t> readNumber(const SystemCalls& calls, const std::string& path) {
  const std::string text = readStart(calls, path);
  std::uint64_t value = 0;
  if (text.empty() ||
      std::from_chars(text.data(), text.data() + text.size(), value).ec != std::errc()) {
    return std::nullopt;
  }
  return value;
}

// A virtio disk says it turns whatever lies behind it (the host's file, an SSD as often as
// not): what it says is no answer, and it counts as not known.
bool virtioDisk(const SystemCalls& calls, const std::string& device) {
  for (const char* disk : {"/device/modalias", "/../device/modalias"}) {
    if (readStart(calls, device + disk).starts_with("virtio:")) return true;
  }
  return false;
}

// The names in a device's slaves/ (none for a device that stands on no other).
std::vector<std::string> slavesOf(const SystemCalls& calls, const std::string& device) {
  const std::string path = device + "/slaves";
  std::vector<std::string> names;
  const int fd = calls.make(SystemCall::open, path, [&] {
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  });
  if (fd == kNoDescriptor) return names;
  DIR* stream = calls.make(SystemCall::fdopendir, [&] { return ::fdopendir(fd); });
  if (stream == nullptr) {
    calls.close(fd);
    return names;
  }
  for (;;) {
    const dirent* entry = calls.make(SystemCall::readdir, [&] {
      errno = 0;
      return ::readdir(stream);
    });
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  calls.release(SystemCall::closedir, [&] { ::closedir(stream); });
  return names;
}

// A queue attribute of the device: its own queue/, or its disk's for a partition.
std::optional<std::uint64_t> queueValue(const SystemCalls& calls, const std::string& device,
                                        const std::string& name) {
  if (auto value = readNumber(calls, device + "/queue/" + name)) return value;
  return readNumber(calls, device + "/../queue/" + name);
}

bool turns(const SystemCalls& calls, const std::string& device, int depth) {
  const std::vector<std::string> below = slavesOf(calls, device);
  if (below.empty() || depth == kMaxDepth) {
    return queueValue(calls, device, "rotational").value_or(0) == 1 && !virtioDisk(calls, device);
  }
  return std::any_of(below.begin(), below.end(), [&](const std::string& name) {
    return turns(calls, device + "/slaves/" + name, depth + 1);
  });
}

}  // namespace

DiskQueue diskQueueOf(const SystemCalls& calls, std::uint64_t device, const std::string& sysfs) {
  const auto id = static_cast<dev_t>(device);
  const std::string path =
      sysfs + "/dev/block/" + std::to_string(major(id)) + ":" + std::to_string(minor(id));
  DiskQueue queue;
  queue.rotational = turns(calls, path, 0);
  if (!queue.rotational) return queue;
  queue.requestBytes = std::max(queueValue(calls, path, "read_ahead_kb").value_or(0),
                                queueValue(calls, path, "max_sectors_kb").value_or(0)) *
                       1024;
  return queue;
}

}  // namespace vorbit
