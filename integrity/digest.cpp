#include "integrity/digest.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <new>

#include "integrity/posix_error.h"

namespace vorbit {
namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// The kernel copies out of the page cache several times faster into a page-aligned buffer
// than into one that malloc's header has shifted by 16 bytes.
constexpr std::size_t kBufferAlignment = 4096;

// One file's read buffer: a plain heap block, aligned inside, and not cleared, so a large
// buffer costs only the pages the reads touch. A plain block of the same size every time lets
// malloc hand back the last file's memory instead of mapping and unmapping it per file, which
// an aligned allocation of this size would do.
class ReadBuffer {
 public:
  explicit ReadBuffer(std::size_t size)
      : block_(new (std::nothrow) std::byte[size + kBufferAlignment]), size_(size) {}

  bool allocated() const { return block_ != nullptr; }

  std::span<std::byte> span() const {
    const auto address = reinterpret_cast<std::uintptr_t>(block_.get());
    const std::size_t shift = (kBufferAlignment - address % kBufferAlignment) % kBufferAlignment;
    return {block_.get() + shift, size_};
  }

 private:
  std::unique_ptr<std::byte[]> block_;
  std::size_t size_;
};

// libcrypto's SHA-256, fetched once. libcrypto is started without its configuration file: the
// digest is the same whichever provider computes it, and on a cold disk reading that file at
// the first digest would wait behind the files being read ahead.
const EVP_MD* sha256() {
  static const EVP_MD* const algorithm = [] {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    return EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
  }();
  return algorithm;
}

// The SHA-256 digest of the file from where it stands to its end, read into the chunk. Only a
// read of 0 ends the file: a short read is no end on a file system that returns short reads,
// and the size fstat gave may be stale.
std::variant<Sha256Digest, ReadFailure> digestToEnd(OpenFile& file, std::span<std::byte> chunk,
                                                    const std::function<void()>& afterRead) {
  const ReadFailure hashUnavailable{ReadFailure::Cause::hashUnavailable, 0};
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context || sha256() == nullptr || EVP_DigestInit_ex(context.get(), sha256(), nullptr) != 1) {
    return hashUnavailable;
  }
  for (;;) {
    const ReadResult read = file.read(chunk);
    if (read.error != 0) return ReadFailure{ReadFailure::Cause::readError, read.error};
    if (read.count == 0) break;
    if (EVP_DigestUpdate(context.get(), chunk.data(), read.count) != 1) return hashUnavailable;
    if (afterRead) afterRead();
  }
  Sha256Digest digest{};
  unsigned int length = 0;
  const auto out = reinterpret_cast<unsigned char*>(digest.data());
  if (EVP_DigestFinal_ex(context.get(), out, &length) != 1 || length != digest.size()) {
    return hashUnavailable;
  }
  return digest;
}

}  // namespace

// libcrypto's SHA-256, which uses the CPU's SHA instructions where it has them.
FileDigest fileDigest(OpenFile* file, std::int64_t bufferSize,
                      const std::function<void()>& afterRead) {
  if (file == nullptr) return NoFreshDigest{};

  const ReadBuffer buffer(static_cast<std::size_t>(bufferSize));
  if (!buffer.allocated()) return BufferUnavailable{bufferSize};

  const std::variant<Sha256Digest, ReadFailure> first =
      digestToEnd(*file, buffer.span(), afterRead);
  if (const auto* failure = std::get_if<ReadFailure>(&first)) return *failure;
  const ReadFailure changed{ReadFailure::Cause::fileChanged, 0};
  switch (file->changeSinceOpen()) {
    case FileChange::none:
      return std::get<Sha256Digest>(first);
    case FileChange::contents:
      return changed;
    case FileChange::changeTimeOnly:
      break;
  }
  // Only the change time moved: a chmod, a new link or an attribute moves it, and so does a
  // rewrite that put the modification time back. A second read, at most one, tells them apart:
  // the digest counts when it finds the same bytes, the size and modification time still those
  // the file was opened with.
  if (file->rewind() != 0) return changed;
  const std::variant<Sha256Digest, ReadFailure> second =
      digestToEnd(*file, buffer.span(), afterRead);
  if (const auto* failure = std::get_if<ReadFailure>(&second)) return *failure;
  if (std::get<Sha256Digest>(second) != std::get<Sha256Digest>(first) ||
      file->changeSinceOpen() == FileChange::contents) {
    return changed;
  }
  return std::get<Sha256Digest>(first);
}

std::string ReadFailure::description() const {
  switch (cause) {
    case Cause::readError:
      return posixError(code).description;
    case Cause::fileChanged:
      return "File changed while it was read";
    case Cause::hashUnavailable:
      break;
  }
  return "SHA-256 is unavailable";
}

Bytes digestBytes(const Sha256Digest& digest) { return Bytes(digest.begin(), digest.end()); }

}  // namespace vorbit
