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
// digest is the same whichever provider computes it, and reading that file at the first digest
// waited behind the files being read ahead on a cold disk (29 ms measured).
const EVP_MD* sha256() {
  static const EVP_MD* const algorithm = [] {
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    return EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
  }();
  return algorithm;
}

}  // namespace

// libcrypto's SHA-256, which uses the CPU's SHA instructions where it has them.
FileDigest fileDigest(OpenFile* file, std::int64_t bufferSize,
                      const std::function<void()>& afterRead) {
  if (file == nullptr) return NoFreshDigest{};

  const ReadBuffer buffer(static_cast<std::size_t>(bufferSize));
  if (!buffer.allocated()) return BufferUnavailable{bufferSize};

  const ReadFailure hashUnavailable{ReadFailure::Cause::hashUnavailable, 0};
  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context || sha256() == nullptr || EVP_DigestInit_ex(context.get(), sha256(), nullptr) != 1) {
    return hashUnavailable;
  }

  // Only a read of 0 ends the file: a short read is no end on a file system that returns short
  // reads, and the size fstat gave may be stale.
  const std::span<std::byte> chunk = buffer.span();
  for (;;) {
    const ReadResult read = file->read(chunk);
    if (read.error != 0) return ReadFailure{ReadFailure::Cause::readError, read.error};
    if (read.count == 0) break;
    if (EVP_DigestUpdate(context.get(), chunk.data(), read.count) != 1) return hashUnavailable;
    if (afterRead) afterRead();
  }
  if (file->changedSinceOpen()) return ReadFailure{ReadFailure::Cause::fileChanged, 0};

  Sha256Digest digest{};
  unsigned int length = 0;
  const auto out = reinterpret_cast<unsigned char*>(digest.data());
  if (EVP_DigestFinal_ex(context.get(), out, &length) != 1 || length != digest.size()) {
    return hashUnavailable;
  }
  return digest;
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
