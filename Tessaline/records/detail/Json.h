#pragma once

// Strict JSON coding shared by every record of the library.
//
// Decoding: a JsonReader walks a parsed document and remembers the key path that led to each
// value ("reasons[2].crashLogs"). Every accessor checks the exact JSON type; a missing or null
// required key, a wrong type or an unknown enumeration raw value fails the whole record with an
// Error of kind decoding whose text starts with the key path. Keys a record does not ask for are
// ignored.
//
// Encoding: records write nlohmann::ordered_json objects in the order of their fields; the output
// is compact. Text that is not UTF-8 gives an Error of kind encoding.
//
// A type is coded by specialising JsonCoding<T> with
//   static T decode(const JsonReader& in);
//   static OrderedJson encode(const T& value);
// The readers and codings throw CodingFailure; decodeJson()/encodeJson() catch it, so it never
// leaves the library. Use them only below those two entry points.

#include <Tessaline/Bytes.h>
#include <Tessaline/Error.h>
#include <Tessaline/Url.h>
#include <Tessaline/records/Uuid.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaline::detail {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// Raised by readers and codings; turned into the returned Error at the entry points.
struct CodingFailure {
  Error error;
};

[[noreturn]] void failEncoding(std::string text);

template <class T>
struct JsonCoding;

// A JSON value under decoding, with the key path that led to it.
class JsonReader {
 public:
  explicit JsonReader(const Json& value, std::string path = {})
      : value_(&value), path_(std::move(path)) {}

  const Json& json() const { return *value_; }
  // "" for the document itself, then "key", "key[3]", "key[3].inner".
  const std::string& path() const { return path_; }

  // A key that must be present and not null.
  template <class T>
  T required(std::string_view key) const {
    return member(key, true)->template as<T>();
  }
  // A key that reads as none when it is missing or null.
  template <class T>
  std::optional<T> optional(std::string_view key) const {
    if (auto reader = member(key, false)) {
      return reader->template as<T>();
    }
    return std::nullopt;
  }
  // This value as T.
  template <class T>
  T as() const {
    return JsonCoding<T>::decode(*this);
  }

  // This value with its exact JSON type.
  std::int64_t integer() const;  // also an integral number such as 3.0
  double number() const;
  bool boolean() const;
  const std::string& string() const;
  // The elements of an array, each with its index in the path.
  std::vector<JsonReader> elements() const;

  // An enumeration by its raw text or raw integer, through the type's raw-value constructor.
  template <class E>
  E enumeration(std::optional<E> (*fromRawValue)(std::string_view)) const {
    const std::string& raw = string();
    if (auto value = fromRawValue(raw)) {
      return *value;
    }
    fail("\"" + raw + "\" is not a valid value");
  }
  template <class E>
  E enumeration(std::optional<E> (*fromRawValue)(std::int64_t)) const {
    const std::int64_t raw = integer();
    if (auto value = fromRawValue(raw)) {
      return *value;
    }
    fail(std::to_string(raw) + " is not a valid value");
  }

  // Fails decoding with the key path and what was wrong.
  [[noreturn]] void fail(std::string_view what) const;

 private:
  // The reader of a member of this object; none for a missing or null optional key.
  std::optional<JsonReader> member(std::string_view key, bool required) const;
  [[noreturn]] void typeMismatch(std::string_view expected) const;

  const Json* value_;
  std::string path_;
};

// Value forms shared by every record.

template <>
struct JsonCoding<std::int64_t> {
  static std::int64_t decode(const JsonReader& in) { return in.integer(); }
  static OrderedJson encode(std::int64_t value) { return value; }
};

template <>
struct JsonCoding<bool> {
  static bool decode(const JsonReader& in) { return in.boolean(); }
  static OrderedJson encode(bool value) { return value; }
};

template <>
struct JsonCoding<double> {
  static double decode(const JsonReader& in) { return in.number(); }
  static OrderedJson encode(double value);  // fails for NaN and infinities
};

template <>
struct JsonCoding<std::string> {
  static std::string decode(const JsonReader& in) { return in.string(); }
  static OrderedJson encode(const std::string& value) { return value; }
};

// Seconds since 2001-01-01T00:00:00Z, as a plain number.
template <>
struct JsonCoding<Date> {
  static Date decode(const JsonReader& in) { return Date{in.number()}; }
  static OrderedJson encode(const Date& value) {
    return JsonCoding<double>::encode(value.timeIntervalSinceReferenceDate);
  }
};

// Upper-case 8-4-4-4-12 text; either case is read.
template <>
struct JsonCoding<Uuid> {
  static Uuid decode(const JsonReader& in);
  static OrderedJson encode(const Uuid& value) { return value.uuidString(); }
};

// Absolute URL text.
template <>
struct JsonCoding<Url> {
  static Url decode(const JsonReader& in);
  static OrderedJson encode(const Url& value) { return value.absoluteString(); }
};

// Standard Base64 text.
template <>
struct JsonCoding<Bytes> {
  static Bytes decode(const JsonReader& in);
  static OrderedJson encode(const Bytes& value);
};

template <class T>
struct JsonCoding<std::vector<T>> {
  static std::vector<T> decode(const JsonReader& in) {
    std::vector<T> values;
    for (const auto& element : in.elements()) {
      values.push_back(element.template as<T>());
    }
    return values;
  }
  static OrderedJson encode(const std::vector<T>& values) {
    OrderedJson array = OrderedJson::array();
    for (const auto& value : values) {
      array.push_back(JsonCoding<T>::encode(value));
    }
    return array;
  }
};

// Writes a field into an object being encoded. An optional field is written only when present.
template <class T>
void put(OrderedJson& object, const char* key, const T& value) {
  object[key] = JsonCoding<T>::encode(value);
}
template <class T>
void put(OrderedJson& object, const char* key, const std::optional<T>& value) {
  if (value) {
    object[key] = JsonCoding<T>::encode(*value);
  }
}

// Parses a document; text that is not JSON gives a decoding error.
Result<Json> parseJson(std::string_view text);
// Compact text of a document; text that is not UTF-8 gives an encoding error.
Result<std::string> dumpJson(const OrderedJson& document);

// Decodes a parsed document as T.
template <class T>
Result<T> decodeJsonValue(const Json& document) {
  try {
    return JsonCoding<T>::decode(JsonReader(document));
  } catch (const CodingFailure& failure) {
    return failure.error;
  }
}

// Decodes a JSON text as T.
template <class T>
Result<T> decodeJson(std::string_view text) {
  auto document = parseJson(text);
  if (!document) {
    return document.error();
  }
  return decodeJsonValue<T>(document.value());
}

// The document of a value, or the encoding error.
template <class T>
Result<OrderedJson> encodeJsonValue(const T& value) {
  try {
    return JsonCoding<T>::encode(value);
  } catch (const CodingFailure& failure) {
    return failure.error;
  }
}

// The compact JSON text of a value, or the encoding error.
template <class T>
Result<std::string> encodeJson(const T& value) {
  auto document = encodeJsonValue(value);
  if (!document) {
    return document.error();
  }
  return dumpJson(document.value());
}

}  // namespace tessaline::detail
