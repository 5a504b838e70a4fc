#pragma once

// The header fields by which a feedback service can store each POST once, whatever the network
// does, and check that an upload's bytes arrived whole. Both sides use these names and values.

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <array>
#include <string>
#include <string_view>

namespace tessaline {

class Uuid;
namespace platform {
class OpenFile;
}

// Carried by every POST. Its value is a Structured Fields string (the key in double quotes), the
// same for every attempt to send one report or one upload, so a service can answer a repeat with
// its first answer.
inline constexpr std::string_view kIdempotencyKeyField = "Idempotency-Key";
// Carried by an upload (RFC 9530): "sha-256=:<standard Base64 of the body's SHA-256>:".
inline constexpr std::string_view kReprDigestField = "Repr-Digest";

using Sha256Digest = std::array<unsigned char, 32>;

TESSALINE_EXPORT Sha256Digest sha256(std::string_view bytes);
// Of the size() bytes the file had when it was opened; an error when they cannot all be read.
TESSALINE_EXPORT Result<Sha256Digest> sha256(const platform::OpenFile& file);

// The key of a report: its localId in upper-case UUID text.
TESSALINE_EXPORT std::string reportIdempotencyKey(const Uuid& localId);
// The key of an upload: the lower-case hex SHA-256 of "<localId>\n<fileId>\n<hex SHA-256 of the
// bytes>", so one attachment of one report has one key and changed bytes get another.
TESSALINE_EXPORT std::string uploadIdempotencyKey(const Uuid& localId, std::string_view fileId,
                                                  const Sha256Digest& content);
// The Idempotency-Key field value of a key: "\"<key>\"".
TESSALINE_EXPORT std::string idempotencyKeyFieldValue(std::string_view key);
// The Repr-Digest field value of a body's SHA-256.
TESSALINE_EXPORT std::string reprDigestFieldValue(const Sha256Digest& content);

}  // namespace tessaline
