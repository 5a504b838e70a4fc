#include <Tessaline/records/Base64.h>
#include <Tessaline/records/Uuid.h>
#include <Tessaline/service/RequestIntegrity.h>

#include <platform/OpenFile.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace tessaline {

namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

DigestContext startSha256() {
  DigestContext context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    throw std::bad_alloc();
  }
  return context;
}

Sha256Digest finish(EVP_MD_CTX* context) {
  Sha256Digest digest{};
  unsigned int length = 0;
  EVP_DigestFinal_ex(context, digest.data(), &length);
  return digest;
}

std::string hex(const Sha256Digest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(digest.size() * 2);
  for (const unsigned char byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

}  // namespace

Sha256Digest sha256(std::string_view bytes) {
  const DigestContext context = startSha256();
  EVP_DigestUpdate(context.get(), bytes.data(), bytes.size());
  return finish(context.get());
}

Result<Sha256Digest> sha256(const platform::OpenFile& file) {
  const DigestContext context = startSha256();
  std::vector<char> buffer(256 * 1024);
  std::uint64_t offset = 0;
  while (offset < file.size()) {
    const auto read = file.readAt(buffer.data(), buffer.size(), offset);
    if (!read) {
      return read.error();
    }
    if (read.value() == 0) {
      return Error(Error::Kind::fileSystem,
                   "The file \"" + file.path() + "\" became shorter while it was read");
    }
    const auto length = std::min<std::uint64_t>(read.value(), file.size() - offset);
    EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(length));
    offset += length;
  }
  return finish(context.get());
}

std::string reportIdempotencyKey(const Uuid& localId) {
  return localId.uuidString();
}

std::string uploadIdempotencyKey(const Uuid& localId, std::string_view fileId,
                                 const Sha256Digest& content) {
  std::string material = localId.uuidString();
  material.append("\n").append(fileId).append("\n").append(hex(content));
  return hex(sha256(material));
}

std::string idempotencyKeyFieldValue(std::string_view key) {
  return "\"" + std::string(key) + "\"";
}

std::string reprDigestFieldValue(const Sha256Digest& content) {
  return "sha-256=:" +
         base64Encode(
             std::string_view(reinterpret_cast<const char*>(content.data()), content.size())) +
         ":";
}

}  // namespace tessaline
