#pragma once

#include <map>
#include <string>
#include <vector>

#include "integrity/bytes.h"
#include "platform/platform.h"

namespace vorbit {

// An in-memory file system: directories and files in the order added, extended attributes per
// path, and faults as data per path. Paths are absolute and normalised.
class FakePlatform final : public Platform {
 public:
  FakePlatform();

  void addDirectory(const std::string& path);
  void addFile(const std::string& path, std::string contents);  // parents are created
  void setContents(const std::string& path, std::string contents);
  void setXattr(const std::string& path, const std::string& name, Bytes value);
  std::optional<Bytes> xattr(const std::string& path, const std::string& name) const;

  void failOpen(const std::string& path);  // no stream: missing, refused or not regular
  void failReadAfter(const std::string& path, std::size_t bytes, int error);
  void failGetxattr(const std::string& path, int error);
  void failSetxattr(const std::string& path, int error);
  void unlistable(const std::string& directory);
  // The next size probe of the attribute is answered, then its value becomes the new one.
  void replaceXattrAfterProbe(const std::string& path, const std::string& name, Bytes value);
  void limitReadsTo(std::size_t bytes) { maxRead_ = bytes; }  // short reads
  void setCurrentDirectory(std::optional<std::string> path) { cwd_ = std::move(path); }
  const std::vector<std::size_t>& readSizes() const { return readSizes_; }
  int opens() const { return opens_; }
  int setxattrCalls() const { return setxattrCalls_; }

  std::optional<std::string> currentDirectoryPath() override { return cwd_; }
  FileKind fileKind(const std::string& path) override;
  std::unique_ptr<DirectoryEnumerator> enumerator(const std::string& root) override;
  std::unique_ptr<InputStream> inputStream(const std::string& path, FileKind known) override;
  XattrResult getxattr(const std::string& path, const std::string& name,
                       std::span<std::byte> into) override;
  int setxattr(const std::string& path, const std::string& name,
               std::span<const std::byte> value) override;
  int writeStandardOutput(std::string_view text) override;
  int writeStandardError(std::string_view text) override;

  struct Node {
    bool directory = false;
    std::string contents;
    std::vector<std::string> children;  // names, in the order added
    std::map<std::string, Bytes> xattrs;
    bool openFails = false;
    bool unlistable = false;
    std::size_t readFailsAfter = 0;
    int readError = 0;
    int getxattrError = 0;
    int setxattrError = 0;
    std::optional<std::pair<std::string, Bytes>> afterProbe;
  };

 private:
  Node& node(const std::string& path);

  std::map<std::string, Node> nodes_;
  std::optional<std::string> cwd_ = "/";
  std::size_t maxRead_ = 0;
  std::vector<std::size_t> readSizes_;
  int opens_ = 0;
  int setxattrCalls_ = 0;
};

}  // namespace vorbit
