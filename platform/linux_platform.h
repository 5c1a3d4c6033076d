#pragma once

#include "platform/platform.h"

namespace vorbit {

// The platform as the Linux kernel and C library provide it.
class LinuxPlatform final : public Platform {
 public:
  std::optional<std::string> currentDirectoryPath() override;
  bool isDirectory(const std::string& path) override;
  std::unique_ptr<DirectoryEnumerator> enumerator(const std::string& root) override;
  std::unique_ptr<InputStream> inputStream(const std::string& path) override;
  XattrResult getxattr(const std::string& path, const std::string& name,
                       std::span<std::byte> into) override;
  int setxattr(const std::string& path, const std::string& name,
               std::span<const std::byte> value) override;
  int writeStandardOutput(std::string_view text) override;
  int writeStandardError(std::string_view text) override;
};

}  // namespace vorbit
