#pragma once

#include <string>
#include <string_view>

namespace tessaline::server {

// Password hashing (Argon2id through libsodium) and the random tokens of sessions and forms.
namespace passwords {

// False when libsodium cannot start; call once before anything else here.
bool initialise();
// libsodium's Argon2id string (algorithm, parameters, salt and hash); empty when out of memory.
std::string hash(std::string_view password);
// Compares in time independent of where the password differs.
bool verify(std::string_view password, const std::string& hashed);
// Costs what a verify() costs, for unknown account names, so timing does not tell them apart.
void verifyNothing(std::string_view password);
// 32 random bytes as 64 hexadecimal characters.
std::string randomToken();
// A hash of a token, as hexadecimal text, for storing it.
std::string tokenHash(std::string_view token);
// Constant-time equality of two texts.
bool sameToken(std::string_view a, std::string_view b);

}  // namespace passwords
}  // namespace tessaline::server
