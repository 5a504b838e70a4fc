#include "Passwords.h"

#include <sodium.h>

#include <array>
#include <mutex>

namespace tessaline::server::passwords {

namespace {

std::string hex(const unsigned char* bytes, std::size_t size) {
  std::string text(size * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), bytes, size);
  text.pop_back();
  return text;
}

}  // namespace

bool initialise() {
  return sodium_init() >= 0;
}

std::string hash(std::string_view password) {
  std::array<char, crypto_pwhash_argon2id_STRBYTES> text{};
  if (crypto_pwhash_argon2id_str(text.data(), password.data(), password.size(),
                                 crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE,
                                 crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE) != 0) {
    return {};
  }
  return text.data();
}

bool verify(std::string_view password, const std::string& hashed) {
  return crypto_pwhash_argon2id_str_verify(hashed.c_str(), password.data(), password.size()) == 0;
}

void verifyNothing(std::string_view password) {
  static const std::string decoy = hash("not a password of anyone");
  verify(password, decoy);
}

std::string randomToken() {
  std::array<unsigned char, 32> bytes{};
  randombytes_buf(bytes.data(), bytes.size());
  return hex(bytes.data(), bytes.size());
}

std::string tokenHash(std::string_view token) {
  std::array<unsigned char, crypto_generichash_BYTES> digest{};
  crypto_generichash(digest.data(), digest.size(),
                     reinterpret_cast<const unsigned char*>(token.data()), token.size(), nullptr,
                     0);
  return hex(digest.data(), digest.size());
}

bool sameToken(std::string_view a, std::string_view b) {
  return a.size() == b.size() && !a.empty() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace tessaline::server::passwords
