#pragma once

// The round trip every JSON record must survive: whatever decodes encodes, the encoding decodes
// to an equal record, and encoding that record again gives the same text.

#include "FuzzTarget.h"

#include <Tessaline/Error.h>

#include <functional>
#include <string>
#include <string_view>

namespace tessaline::fuzz {

template <class T>
struct Coding {
  const char* record;
  std::function<Result<T>(std::string_view)> decode;
  std::function<Result<std::string>(const T&)> encode;
  std::function<bool(const T&, const T&)> same = [](const T& a, const T& b) { return a == b; };
  // Equal records hash equally; left empty for records without hashing.
  std::function<std::size_t(const T&)> hash;
};

template <class T>
void checkRoundTrip(const Coding<T>& coding, std::string_view input) {
  const std::string record = coding.record;
  Result<T> first = coding.decode(input);
  if (!first) {
    require(first.error().kind() == Error::Kind::decoding && !first.error().description().empty(),
            record + ": a refused input gives a decoding error with a text",
            first.error().description());
    return;
  }
  Result<std::string> text = coding.encode(first.value());
  require(text.ok(), record + ": a decoded record encodes",
          "input: " + shown(input) + "\nerror: " + (text ? "" : text.error().description()));
  Result<T> second = coding.decode(text.value());
  require(second.ok(), record + ": its encoding decodes again",
          "input: " + shown(input) + "\nencoded: " + shown(text.value()) +
              "\nerror: " + (second ? "" : second.error().description()));
  require(coding.same(first.value(), second.value()),
          record + ": the encoding decodes to an equal record",
          "input: " + shown(input) + "\nencoded: " + shown(text.value()));
  if (coding.hash) {
    require(coding.hash(first.value()) == coding.hash(second.value()),
            record + ": equal records hash equally", "input: " + shown(input));
  }
  Result<std::string> again = coding.encode(second.value());
  require(again.ok() && again.value() == text.value(), record + ": encoding is stable",
          "first: " + shown(text.value()) + "\nagain: " + (again ? shown(again.value()) : ""));
}

}  // namespace tessaline::fuzz
