#include "tests/fake_platform.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vorbit {
namespace {

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

std::string join(const std::string& directory, const std::string& name) {
  return directory == "/" ? "/" + name : directory + "/" + name;
}

class FakeEnumerator final : public DirectoryEnumerator {
 public:
  FakeEnumerator(const std::map<std::string, FakePlatform::Node>& nodes, const std::string& root)
      : nodes_(nodes) {
    push(root, "");
  }

  std::optional<DirectoryEntry> nextObject() override {
    while (!stack_.empty()) {
      Frame& frame = stack_.back();
      if (frame.next == frame.node->children.size()) {
        stack_.pop_back();
        continue;
      }
      const std::string& name = frame.node->children[frame.next++];
      const std::string relative = frame.relative + name;
      const std::string absolute = join(frame.absolute, name);
      const bool directory = nodes_.at(absolute).directory;
      if (directory) push(absolute, relative + "/");
      return DirectoryEntry{relative, directory ? FileKind::directory : FileKind::regularFile};
    }
    return std::nullopt;
  }

 private:
  struct Frame {
    const FakePlatform::Node* node;
    std::string absolute;
    std::string relative;
    std::size_t next = 0;
  };

  void push(const std::string& absolute, const std::string& relative) {
    const FakePlatform::Node& node = nodes_.at(absolute);
    if (!node.unlistable) stack_.push_back(Frame{&node, absolute, relative});
  }

  const std::map<std::string, FakePlatform::Node>& nodes_;
  std::vector<Frame> stack_;
};

class FakeStream final : public InputStream {
 public:
  FakeStream(const FakePlatform::Node& node, std::size_t maxRead,
             std::vector<std::size_t>& readSizes)
      : node_(node), maxRead_(maxRead), readSizes_(readSizes) {}

  bool hasBytesAvailable() const override { return available_; }

  ReadResult read(std::span<std::byte> into) override {
    if (closed_) throw std::logic_error("read after close");
    readSizes_.push_back(into.size());
    if (node_.readError != 0 && offset_ >= node_.readFailsAfter) {
      available_ = false;
      return {0, node_.readError};
    }
    std::size_t count = std::min(into.size(), node_.contents.size() - offset_);
    if (maxRead_ != 0) count = std::min(count, maxRead_);
    if (node_.readError != 0) count = std::min(count, node_.readFailsAfter - offset_);
    std::memcpy(into.data(), node_.contents.data() + offset_, count);
    offset_ += count;
    if (count == 0) available_ = false;
    return {count, 0};
  }

  void close() override {
    closed_ = true;
    available_ = false;
  }

 private:
  const FakePlatform::Node& node_;
  std::size_t maxRead_;
  std::vector<std::size_t>& readSizes_;
  std::size_t offset_ = 0;
  bool available_ = true;
  bool closed_ = false;
};

}  // namespace

FakePlatform::FakePlatform() { nodes_["/"].directory = true; }

FakePlatform::Node& FakePlatform::node(const std::string& path) {
  auto found = nodes_.find(path);
  if (found == nodes_.end()) throw std::logic_error("no such fake path: " + path);
  return found->second;
}

void FakePlatform::addDirectory(const std::string& path) {
  if (nodes_.count(path) != 0) return;
  addDirectory(parentOf(path));
  nodes_[path].directory = true;
  node(parentOf(path)).children.push_back(nameOf(path));
}

void FakePlatform::addFile(const std::string& path, std::string contents) {
  addDirectory(parentOf(path));
  if (nodes_.count(path) == 0) node(parentOf(path)).children.push_back(nameOf(path));
  nodes_[path].contents = std::move(contents);
}

void FakePlatform::setContents(const std::string& path, std::string contents) {
  node(path).contents = std::move(contents);
}

void FakePlatform::setXattr(const std::string& path, const std::string& name, Bytes value) {
  node(path).xattrs[name] = std::move(value);
}

std::optional<Bytes> FakePlatform::xattr(const std::string& path, const std::string& name) const {
  const auto& xattrs = nodes_.at(path).xattrs;
  auto found = xattrs.find(name);
  if (found == xattrs.end()) return std::nullopt;
  return found->second;
}

void FakePlatform::failOpen(const std::string& path) { node(path).openFails = true; }

void FakePlatform::failReadAfter(const std::string& path, std::size_t bytes, int error) {
  node(path).readFailsAfter = bytes;
  node(path).readError = error;
}

void FakePlatform::failGetxattr(const std::string& path, int error) {
  node(path).getxattrError = error;
}

void FakePlatform::failSetxattr(const std::string& path, int error) {
  node(path).setxattrError = error;
}

void FakePlatform::replaceXattrAfterProbe(const std::string& path, const std::string& name,
                                          Bytes value) {
  node(path).afterProbe.emplace(name, std::move(value));
}

void FakePlatform::unlistable(const std::string& directory) { node(directory).unlistable = true; }

FileKind FakePlatform::fileKind(const std::string& path) {
  auto found = nodes_.find(path);
  if (found == nodes_.end()) return FileKind::unknown;
  return found->second.directory ? FileKind::directory : FileKind::regularFile;
}

std::unique_ptr<DirectoryEnumerator> FakePlatform::enumerator(const std::string& root) {
  auto found = nodes_.find(root);
  if (found == nodes_.end() || !found->second.directory || found->second.unlistable) {
    return nullptr;
  }
  return std::make_unique<FakeEnumerator>(nodes_, root);
}

std::unique_ptr<InputStream> FakePlatform::inputStream(const std::string& path, FileKind known) {
  auto found = nodes_.find(path);
  if (known == FileKind::other || found == nodes_.end() || found->second.directory ||
      found->second.openFails) {
    return nullptr;
  }
  ++opens_;
  return std::make_unique<FakeStream>(found->second, maxRead_, readSizes_);
}

XattrResult FakePlatform::getxattr(const std::string& path, const std::string& name,
                                   std::span<std::byte> into) {
  auto found = nodes_.find(path);
  if (found == nodes_.end()) return {0, ENOENT};
  if (found->second.getxattrError != 0) return {0, found->second.getxattrError};
  auto value = found->second.xattrs.find(name);
  if (value == found->second.xattrs.end()) return {0, ENODATA};
  if (into.empty()) {
    const std::size_t size = value->second.size();
    if (auto& after = found->second.afterProbe; after && after->first == name) {
      value->second = std::move(after->second);
      after.reset();
    }
    return {size, 0};
  }
  if (into.size() < value->second.size()) return {0, ERANGE};
  std::copy(value->second.begin(), value->second.end(), into.begin());
  return {value->second.size(), 0};
}

int FakePlatform::setxattr(const std::string& path, const std::string& name,
                           std::span<const std::byte> value) {
  ++setxattrCalls_;
  auto found = nodes_.find(path);
  if (found == nodes_.end()) return ENOENT;
  if (found->second.setxattrError != 0) return found->second.setxattrError;
  found->second.xattrs[name] = Bytes(value.begin(), value.end());
  return 0;
}

int FakePlatform::writeStandardOutput(std::string_view) { return 0; }

int FakePlatform::writeStandardError(std::string_view) { return 0; }

}  // namespace vorbit
