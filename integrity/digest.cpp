#include "integrity/digest.h"

#include <openssl/evp.h>

#include <cerrno>
#include <memory>
#include <new>

namespace vorbit {
namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Page-aligned: the kernel copies out of the page cache several times faster into an aligned
// buffer than into one that malloc's header has shifted by 16 bytes.
constexpr std::align_val_t kBufferAlignment{4096};

struct BufferFree {
  void operator()(std::byte* buffer) const { ::operator delete[](buffer, kBufferAlignment); }
};

// The one engine behind both back-ends: libcrypto's SHA-256, which uses the CPU's SHA
// instructions where it has them.
FileDigest digestFile(Platform& platform, const std::string& path, std::int64_t bufferSize) {
  std::unique_ptr<InputStream> stream = platform.inputStream(path);
  if (!stream) return NoFreshDigest{};

  const auto size = static_cast<std::size_t>(bufferSize);
  // Not cleared, so a large buffer costs only the pages the reads touch.
  std::unique_ptr<std::byte[], BufferFree> buffer(
      static_cast<std::byte*>(::operator new[](size, kBufferAlignment, std::nothrow)));
  if (!buffer) return BufferUnavailable{bufferSize};

  std::unique_ptr<EVP_MD_CTX, DigestContextFree> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return ReadFailure{ENOMEM};
  }

  const std::span<std::byte> chunk(buffer.get(), size);
  while (stream->hasBytesAvailable()) {
    const ReadResult read = stream->read(chunk);
    if (read.error != 0) return ReadFailure{read.error};
    if (read.count > 0 && EVP_DigestUpdate(context.get(), buffer.get(), read.count) != 1) {
      return ReadFailure{ENOMEM};
    }
  }

  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), reinterpret_cast<unsigned char*>(digest.data()), &length) !=
          1 ||
      length != digest.size()) {
    return ReadFailure{ENOMEM};
  }
  return digest;
}

}  // namespace

FileDigest fileDigestCryptoKit(Platform& platform, const std::string& path,
                               std::int64_t bufferSize) {
  return digestFile(platform, path, bufferSize);
}

FileDigest fileDigestCommonCrypto(Platform& platform, const std::string& path,
                                  std::int64_t bufferSize) {
  return digestFile(platform, path, bufferSize);
}

Bytes digestBytes(const Sha256Digest& digest) { return Bytes(digest.begin(), digest.end()); }

}  // namespace vorbit
