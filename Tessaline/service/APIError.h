#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <string>

namespace tessaline {

// The service client's own error: a request that cannot be built. It travels as an Error of kind
// api whose description is the text form, for example
// APIError(localizedDescription: "Failed to construct URL").
class TESSALINE_EXPORT APIError {
 public:
  static constexpr const char* kFailedToConstructURLComponents =
      "Failed to construct URL components";
  static constexpr const char* kFailedToConstructURL = "Failed to construct URL";
  static constexpr const char* kFailedToConstructRequest = "Failed to construct request";

  explicit APIError(std::string localizedDescription)
      : localizedDescription_(std::move(localizedDescription)) {}

  const std::string& localizedDescription() const { return localizedDescription_; }
  // The type name followed by the field in parentheses, the message quoted and escaped.
  std::string description() const;
  Error error() const { return Error(Error::Kind::api, description()); }

  friend bool operator==(const APIError&, const APIError&) = default;

 private:
  std::string localizedDescription_;
};

}  // namespace tessaline
