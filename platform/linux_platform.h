#pragma once

#include "platform/fault_injector.h"
#include "platform/platform.h"
#include "platform/system_calls.h"

namespace vorbit {

// The platform as the Linux kernel and C library provide it.
class LinuxPlatform final : public Platform {
 public:
  // With a fault injector, each system call first asks it whether to fail.
  explicit LinuxPlatform(FaultInjector* faults = nullptr) : faults_(faults) {}

  std::optional<std::string> currentDirectoryPath() override;
  FileKind fileKind(const std::string& path) override;
  std::unique_ptr<Walk> walk(const std::string& root, ReadsContents reads) override;
  OpenResult open(const NamedFile& file) override;
  std::uint64_t bytesRead() const override { return bytesRead_; }
  std::optional<int> standardErrorTerminalWidth() override;
  int writeStandardOutput(std::string_view text) override;
  int writeStandardError(std::string_view text) override;
  void setSignalFarewell(std::string_view text) override;

 private:
  SystemCalls calls() { return SystemCalls(faults_, &bytesRead_); }
  int lookUpError(const NamedFile& file);

  FaultInjector* faults_;
  std::uint64_t bytesRead_ = 0;
};

}  // namespace vorbit
