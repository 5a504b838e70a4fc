#pragma once

#include <Tessaline/Export.h>

#include <string>
#include <utility>
#include <variant>

namespace tessaline {

// An error as a value: its kind and the textual description that is logged and shown.
class TESSALINE_EXPORT Error {
 public:
  enum class Kind {
    transport,   // no usable answer: connection, TLS, time-out, size limit, cancellation
    decoding,    // a body or document that does not decode as the expected record
    encoding,    // a record that cannot be written (for example text that is not UTF-8)
    fileSystem,  // a file or folder that cannot be read, written or enumerated
    process,     // a child process that cannot be launched
    api,         // APIError: a request that cannot be built
    attachment,  // FeedbackFormViewModel::AttachmentError
    generic,     // anything else, for example a host step that threw
  };

  Error(Kind kind, std::string description) : kind_(kind), description_(std::move(description)) {}

  Kind kind() const { return kind_; }
  // The textual description, as logged and shown to the user.
  const std::string& description() const { return description_; }

  // For an answer of the service that did not decode: its HTTP status and its "Retry-After"
  // field, so a caller can tell an overloaded or failing service (429, 5xx) from a refusal.
  // 0 and "" for every other error.
  long httpStatus() const { return httpStatus_; }
  const std::string& retryAfter() const { return retryAfter_; }
  Error withAnswer(long status, std::string retryAfter) const {
    Error copy = *this;
    copy.httpStatus_ = status;
    copy.retryAfter_ = std::move(retryAfter);
    return copy;
  }

  // The same error: kind and description; the answer's details are not part of it.
  friend bool operator==(const Error& a, const Error& b) {
    return a.kind_ == b.kind_ && a.description_ == b.description_;
  }

 private:
  Kind kind_;
  std::string description_;
  long httpStatus_ = 0;
  std::string retryAfter_;
};

// Either a value or an Error.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}      // NOLINT
  Result(Error error) : storage_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return storage_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(storage_); }
  const T& value() const& { return std::get<0>(storage_); }
  T&& value() && { return std::get<0>(std::move(storage_)); }
  const Error& error() const { return std::get<1>(storage_); }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

 private:
  std::variant<T, Error> storage_;
};

// Success without a value.
struct Unit {
  friend bool operator==(Unit, Unit) { return true; }
};

}  // namespace tessaline
