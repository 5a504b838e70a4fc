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

  friend bool operator==(const Error&, const Error&) = default;

 private:
  Kind kind_;
  std::string description_;
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
