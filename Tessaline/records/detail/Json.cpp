#include <Tessaline/records/Base64.h>
#include <Tessaline/records/detail/Json.h>

#include <cmath>
#include <limits>

namespace tessaline::detail {

namespace {

std::string typeName(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::object:
      return "an object";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return "a number";
    default:
      return "an unsupported value";
  }
}

}  // namespace

void failEncoding(std::string text) {
  throw CodingFailure{Error(Error::Kind::encoding, std::move(text))};
}

void JsonReader::fail(std::string_view what) const {
  std::string text = path_.empty() ? std::string(what) : path_ + ": " + std::string(what);
  throw CodingFailure{Error(Error::Kind::decoding, std::move(text))};
}

void JsonReader::typeMismatch(std::string_view expected) const {
  fail("expected " + std::string(expected) + ", found " + typeName(*value_));
}

std::optional<JsonReader> JsonReader::member(std::string_view key, bool required) const {
  if (!value_->is_object()) {
    typeMismatch("an object");
  }
  const std::string path = path_.empty() ? std::string(key) : path_ + "." + std::string(key);
  const auto found = value_->find(key);
  if (found == value_->end() || found->is_null()) {
    if (required) {
      JsonReader(*value_, path)
          .fail(found == value_->end() ? "required key is missing" : "required value is null");
    }
    return std::nullopt;
  }
  return JsonReader(*found, path);
}

std::int64_t JsonReader::integer() const {
  switch (value_->type()) {
    case Json::value_t::number_integer:
      return value_->get<std::int64_t>();
    case Json::value_t::number_unsigned: {
      const auto value = value_->get<std::uint64_t>();
      if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        fail("number " + std::to_string(value) + " does not fit in a 64-bit integer");
      }
      return static_cast<std::int64_t>(value);
    }
    case Json::value_t::number_float: {
      // A number written with a fraction or exponent (or an integer beyond 64 bits, which the
      // parser keeps as a double) is taken only when it is a whole number below 2^53: from there
      // on a double no longer tells the number written from its neighbours.
      const double value = value_->get<double>();
      constexpr double kExactLimit = 9007199254740992.0;  // 2^53
      if (std::trunc(value) != value || value <= -kExactLimit || value >= kExactLimit) {
        fail("number " + value_->dump() + " is not a 64-bit integer");
      }
      return static_cast<std::int64_t>(value);
    }
    default:
      typeMismatch("an integer");
  }
}

double JsonReader::number() const {
  if (!value_->is_number()) {
    typeMismatch("a number");
  }
  return value_->get<double>();
}

bool JsonReader::boolean() const {
  if (!value_->is_boolean()) {
    typeMismatch("a boolean");
  }
  return value_->get<bool>();
}

const std::string& JsonReader::string() const {
  if (!value_->is_string()) {
    typeMismatch("a string");
  }
  return value_->get_ref<const std::string&>();
}

std::vector<JsonReader> JsonReader::elements() const {
  if (!value_->is_array()) {
    typeMismatch("an array");
  }
  std::vector<JsonReader> readers;
  readers.reserve(value_->size());
  for (std::size_t i = 0; i < value_->size(); ++i) {
    readers.emplace_back((*value_)[i], path_ + "[" + std::to_string(i) + "]");
  }
  return readers;
}

OrderedJson JsonCoding<double>::encode(double value) {
  if (!std::isfinite(value)) {
    failEncoding("Unable to encode the non-finite number " + std::to_string(value) + " in JSON");
  }
  return value;
}

Uuid JsonCoding<Uuid>::decode(const JsonReader& in) {
  if (auto uuid = Uuid::parse(in.string())) {
    return *uuid;
  }
  in.fail("invalid UUID string");
}

Url JsonCoding<Url>::decode(const JsonReader& in) {
  if (auto url = Url::parse(in.string())) {
    return *url;
  }
  in.fail("invalid URL string");
}

Bytes JsonCoding<Bytes>::decode(const JsonReader& in) {
  if (auto bytes = base64Decode(in.string())) {
    return Bytes(std::move(*bytes));
  }
  in.fail("invalid Base64 string");
}

OrderedJson JsonCoding<Bytes>::encode(const Bytes& value) {
  return base64Encode(value.view());
}

Result<Json> parseJson(std::string_view text) {
  // The parser ends its input at a NUL byte and would ignore whatever follows; a raw NUL is never
  // valid JSON, so such a document is refused whole.
  if (text.find('\0') != std::string_view::npos) {
    return Error(Error::Kind::decoding,
                 "The given data was not valid JSON: it holds a NUL byte at offset " +
                     std::to_string(text.find('\0')));
  }
  try {
    return Json::parse(text);
  } catch (const Json::exception& error) {
    return Error(Error::Kind::decoding,
                 std::string("The given data was not valid JSON: ") + error.what());
  }
}

Result<std::string> dumpJson(const OrderedJson& document) {
  try {
    return document.dump();
  } catch (const OrderedJson::exception& error) {
    return Error(Error::Kind::encoding, std::string("Unable to encode JSON: ") + error.what());
  }
}

}  // namespace tessaline::detail
