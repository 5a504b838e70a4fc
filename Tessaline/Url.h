#pragma once

#include <Tessaline/Export.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tessaline {

// An absolute URL, kept as its text. File URLs are made from paths.
class TESSALINE_EXPORT Url {
 public:
  // Parses an absolute URL ("scheme:" followed by the rest); nothing for relative or empty text,
  // text with spaces or control characters, or a scheme that is not [A-Za-z][A-Za-z0-9+.-]*.
  static std::optional<Url> parse(std::string_view text);
  // A file URL for an absolute path (a relative path is taken against the working directory);
  // bytes outside the unreserved set and "/" are percent-encoded.
  static Url fileURL(std::string_view path);

  const std::string& absoluteString() const { return text_; }
  std::string scheme() const;       // lower case
  std::string host() const;         // without brackets or port; empty when there is none
  std::optional<int> port() const;  // explicit port only
  std::string percentEncodedPath() const;
  std::string query() const;  // without "?"; empty when absent
  bool isFileURL() const { return scheme() == "file"; }

  // The decoded path (for file URLs, the file-system path).
  std::string path() const;
  std::string lastPathComponent() const;
  // The extension of the last path component without the dot; empty when there is none.
  std::string pathExtension() const;
  // The last path component without its extension.
  std::string deletingPathExtensionOfLastComponent() const;

  // Appends one path component (percent-encoded) to the path, keeping query and fragment.
  Url appendingPathComponent(std::string_view component) const;
  // Replaces the query (text already encoded, without "?"); an empty text removes it.
  Url withPercentEncodedQuery(std::string_view query) const;

  friend bool operator==(const Url&, const Url&) = default;

 private:
  explicit Url(std::string text) : text_(std::move(text)) {}
  struct Parts;
  Parts parts() const;

  std::string text_;
};

// Percent-encoding of a query value by RFC 3986: unreserved characters are kept, every other
// byte is written as %XX with upper-case hexadecimal (a blank is %20, "+" is %2B).
TESSALINE_EXPORT std::string percentEncodeQueryValue(std::string_view value);
// Percent-decoding; malformed escapes are kept as they are.
TESSALINE_EXPORT std::string percentDecode(std::string_view text);

}  // namespace tessaline

template <>
struct std::hash<tessaline::Url> {
  std::size_t operator()(const tessaline::Url& url) const noexcept {
    return std::hash<std::string>{}(url.absoluteString());
  }
};
