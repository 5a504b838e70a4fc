// Small value parsers: AppVersion, Base64, the query encoder and Url.

#include "FuzzTarget.h"

#include <Tessaline/Url.h>
#include <Tessaline/records/AppVersion.h>
#include <Tessaline/records/Base64.h>

#include <limits>
#include <optional>
#include <tuple>
#include <vector>

namespace tessaline::fuzz {

namespace {

// The two halves of an input, split at its first line break (or in the middle when it has none).
std::pair<std::string_view, std::string_view> halves(std::string_view input) {
  const auto newline = input.find('\n');
  if (newline != std::string_view::npos) {
    return {input.substr(0, newline), input.substr(newline + 1)};
  }
  return {input.substr(0, input.size() / 2), input.substr(input.size() / 2)};
}

// An integer text written out longhand: an optional sign, ASCII digits only, within 64 bits.
std::optional<std::int64_t> referenceInteger(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  const std::uint64_t limit =
      negative ? std::uint64_t{1} << 63 : std::uint64_t{std::numeric_limits<std::int64_t>::max()};
  std::uint64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) {
      return std::nullopt;
    }
    magnitude = magnitude * 10 + digit;
  }
  if (!negative) {
    return static_cast<std::int64_t>(magnitude);
  }
  return magnitude == std::uint64_t{1} << 63 ? std::numeric_limits<std::int64_t>::min()
                                             : -static_cast<std::int64_t>(magnitude);
}

// The version rule written out longhand: split at every dot; the first component must be an
// integer; the second and third default to 0; later ones are ignored.
std::optional<AppVersion> referenceVersion(std::string_view text) {
  std::vector<std::string_view> components;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      components.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  const auto major = referenceInteger(components[0]);
  if (!major) {
    return std::nullopt;
  }
  AppVersion version{*major, 0, 0};
  if (components.size() > 1) {
    version.minor = referenceInteger(components[1]).value_or(0);
  }
  if (components.size() > 2) {
    version.patch = referenceInteger(components[2]).value_or(0);
  }
  return version;
}

std::string versionText(const std::optional<AppVersion>& version) {
  return version ? version->description() : "none";
}

void appVersion(std::string_view input) {
  require(parseIntegerText(input) == referenceInteger(input), "parseIntegerText follows the rule",
          "input: " + shown(input));
  const auto [left, right] = halves(input);
  std::optional<AppVersion> versions[2];
  const std::string_view texts[2] = {left, right};
  for (int i = 0; i < 2; ++i) {
    versions[i] = AppVersion::parse(texts[i]);
    const auto expected = referenceVersion(texts[i]);
    require(versions[i] == expected, "AppVersion::parse follows the rule",
            "input: " + shown(texts[i]) + "\nparsed: " + versionText(versions[i]) +
                "\nexpected: " + versionText(expected));
    if (!versions[i]) {
      continue;
    }
    const AppVersion& v = *versions[i];
    const std::string description = v.description();
    require(description == std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
                               std::to_string(v.patch),
            "AppVersion::description is %d.%d.%d", description);
    require(AppVersion::parse(description) == v, "AppVersion::description parses back",
            description);
  }
  if (!versions[0] || !versions[1]) {
    return;
  }
  const AppVersion& a = *versions[0];
  const AppVersion& b = *versions[1];
  const auto ta = std::tie(a.major, a.minor, a.patch);
  const auto tb = std::tie(b.major, b.minor, b.patch);
  const std::string pair = a.description() + " vs " + b.description();
  require((a < b) == (ta < tb) && (a > b) == (tb < ta), "AppVersion orders lexicographically",
          pair);
  require((a <= b) == !(b < a) && (a >= b) == !(a < b), "AppVersion <= and >= negate < and >",
          pair);
  require((a == b) == (ta == tb), "AppVersion equality compares all fields", pair);
  require(int(a < b) + int(b < a) + int(a == b) == 1, "AppVersion order is total", pair);
  if (a == b) {
    require(std::hash<AppVersion>{}(a) == std::hash<AppVersion>{}(b), "equal versions hash equally",
            pair);
  }
}

void base64(std::string_view input) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string encoded = base64Encode(input);
  require(encoded.size() == (input.size() + 2) / 3 * 4, "Base64 length is 4 per 3 bytes",
          shown(encoded));
  const auto firstPad = encoded.find('=');
  require(encoded.find_first_not_of(kAlphabet) == firstPad &&
              (firstPad == std::string::npos ||
               encoded.find_first_not_of('=', firstPad) == std::string::npos),
          "Base64 writes the alphabet, then padding only", shown(encoded));
  const auto decoded = base64Decode(encoded);
  require(decoded && *decoded == input, "Base64 decodes what it encodes",
          "input: " + shown(input) + "\nencoded: " + encoded);

  // Strict decoding accepts exactly the encoder's texts.
  if (const auto bytes = base64Decode(input)) {
    require(base64Encode(*bytes) == input, "Base64 decoding accepts only canonical text",
            "input: " + shown(input) + "\nre-encoded: " + base64Encode(*bytes));
  }
}

bool isUnreserved(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

bool isUpperHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

void queryEncoding(std::string_view input) {
  const std::string encoded = percentEncodeQueryValue(input);
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%') {
      require(i + 2 < encoded.size() && isUpperHex(encoded[i + 1]) && isUpperHex(encoded[i + 2]),
              "percentEncodeQueryValue writes %XX with upper-case hex", shown(encoded));
      i += 2;
    } else {
      require(isUnreserved(encoded[i]), "percentEncodeQueryValue keeps only unreserved characters",
              "input: " + shown(input) + "\nencoded: " + shown(encoded));
    }
  }
  require(percentDecode(encoded) == input, "percentDecode undoes percentEncodeQueryValue",
          "input: " + shown(input) + "\nencoded: " + shown(encoded) +
              "\ndecoded: " + shown(percentDecode(encoded)));
  const std::string decoded = percentDecode(input);
  require(decoded.size() <= input.size(), "percentDecode never grows the text", shown(input));
  if (input.find('%') == std::string_view::npos) {
    require(decoded == input, "percentDecode keeps text without escapes", shown(input));
  }
}

void url(std::string_view input) {
  const auto [text, component] = halves(input);
  if (const auto parsed = Url::parse(input)) {
    require(parsed->absoluteString() == input, "Url keeps its text", shown(input));
    std::string expectedScheme(input.substr(0, input.find(':')));
    for (char& c : expectedScheme) {
      c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
    }
    require(!expectedScheme.empty() && parsed->scheme() == expectedScheme,
            "Url::scheme is the text before the first colon, in lower case", shown(input));
    (void)parsed->host();
    if (const auto port = parsed->port()) {
      require(*port >= 0 && *port <= 65535, "Url::port is a port number", shown(input));
    }
    (void)parsed->query();
    (void)parsed->percentEncodedPath();
    (void)parsed->path();
    (void)parsed->isFileURL();
    const std::string last = parsed->lastPathComponent();
    const std::string extension = parsed->pathExtension();
    const std::string stem = parsed->deletingPathExtensionOfLastComponent();
    require(extension.empty() ? stem == last : stem + "." + extension == last,
            "the stem and the extension make the last path component",
            "last: " + shown(last) + "\nstem: " + shown(stem) + "\nextension: " + shown(extension));
  }

  // Derived URLs stay URLs: appending a component and replacing the query.
  if (const auto base = Url::parse(text)) {
    const Url appended = base->appendingPathComponent(component);
    require(Url::parse(appended.absoluteString()).has_value(), "appendingPathComponent gives a URL",
            shown(appended.absoluteString()));
    require(appended.query() == base->query(), "appendingPathComponent keeps the query",
            shown(appended.absoluteString()));
    const bool plainComponent = !component.empty() &&
                                component.find('/') == std::string_view::npos &&
                                component.find('\0') == std::string_view::npos;
    if (plainComponent) {
      require(appended.lastPathComponent() == component,
              "the appended component is the last path component",
              "base: " + shown(text) + "\ncomponent: " + shown(component) +
                  "\nresult: " + shown(appended.absoluteString()));
    }
    const std::string query = percentEncodeQueryValue(component);
    const Url queried = base->withPercentEncodedQuery(query);
    require(Url::parse(queried.absoluteString()).has_value(), "withPercentEncodedQuery gives a URL",
            shown(queried.absoluteString()));
    require(queried.query() == query, "withPercentEncodedQuery sets the query",
            "base: " + shown(text) + "\nquery: " + query +
                "\nresult: " + shown(queried.absoluteString()));
    require(queried.percentEncodedPath() == base->percentEncodedPath(),
            "withPercentEncodedQuery keeps the path", shown(queried.absoluteString()));
  }

  // A file URL gives its path back.
  if (input.find('\0') == std::string_view::npos) {
    const std::string path = "/" + std::string(input);
    const Url file = Url::fileURL(path);
    require(file.isFileURL() && Url::parse(file.absoluteString()).has_value(),
            "Url::fileURL gives a file URL", shown(file.absoluteString()));
    require(file.path() == path, "Url::fileURL keeps the path",
            "path: " + shown(path) + "\nurl: " + shown(file.absoluteString()) +
                "\nback: " + shown(file.path()));
  }
}

}  // namespace

TESSALINE_FUZZ_TARGET("app-version", "AppVersion::parse, parseIntegerText, order, description",
                      appVersion);
TESSALINE_FUZZ_TARGET("base64", "Base64 encode/decode round trip, strict decoding", base64);
TESSALINE_FUZZ_TARGET("query-encoding", "percentEncodeQueryValue + percentDecode round trip",
                      queryEncoding);
TESSALINE_FUZZ_TARGET("url", "Url::parse, its accessors, derived URLs, file URLs", url);

}  // namespace tessaline::fuzz
