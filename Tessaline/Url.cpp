#include <Tessaline/Url.h>

#include <filesystem>

namespace tessaline {

struct Url::Parts {
  std::string scheme;
  bool hasAuthority = false;
  std::string authority;
  std::string path;
  std::optional<std::string> query;
  std::optional<std::string> fragment;

  std::string join() const {
    std::string text = scheme + ":";
    if (hasAuthority) {
      text += "//" + authority;
    }
    text += path;
    if (query) {
      text += "?" + *query;
    }
    if (fragment) {
      text += "#" + *fragment;
    }
    return text;
  }
};

namespace {

// ASCII classes only: the <cctype> functions follow the host's locale, and under a single-byte
// locale they take bytes of UTF-8 text for letters.
bool isAsciiAlpha(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isAsciiAlnum(unsigned char c) {
  return isAsciiAlpha(c) || (c >= '0' && c <= '9');
}

char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool isUnreserved(unsigned char c) {
  return isAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

std::string percentEncode(std::string_view text, bool keepSlash) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (isUnreserved(c) || (keepSlash && c == '/')) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

std::string percentEncodeQueryValue(std::string_view value) {
  return percentEncode(value, false);
}

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::optional<Url> Url::parse(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) {
    return std::nullopt;
  }
  if (!isAsciiAlpha(static_cast<unsigned char>(text[0]))) {
    return std::nullopt;
  }
  for (std::size_t i = 1; i < colon; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!isAsciiAlnum(c) && c != '+' && c != '-' && c != '.') {
      return std::nullopt;
    }
  }
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == 0x7f) {
      return std::nullopt;
    }
  }
  return Url(std::string(text));
}

Url Url::fileURL(std::string_view path) {
  std::filesystem::path p(path);
  if (p.is_relative()) {
    std::error_code ec;
    p = std::filesystem::current_path(ec) / p;
  }
  return Url("file://" + percentEncode(p.string(), true));
}

Url::Parts Url::parts() const {
  Parts parts;
  std::string_view rest = text_;
  const auto colon = rest.find(':');
  parts.scheme = std::string(rest.substr(0, colon));
  rest.remove_prefix(colon + 1);
  if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
    parts.fragment = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (const auto question = rest.find('?'); question != std::string_view::npos) {
    parts.query = std::string(rest.substr(question + 1));
    rest = rest.substr(0, question);
  }
  if (rest.starts_with("//")) {
    parts.hasAuthority = true;
    rest.remove_prefix(2);
    const auto slash = rest.find('/');
    parts.authority = std::string(rest.substr(0, slash));
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  }
  parts.path = std::string(rest);
  return parts;
}

std::string Url::scheme() const {
  std::string scheme = parts().scheme;
  for (auto& c : scheme) {
    c = asciiLower(c);
  }
  return scheme;
}

std::string Url::host() const {
  const Parts p = parts();  // the view below must not outlive it
  std::string_view authority = p.authority;
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  if (authority.starts_with("[")) {
    const auto close = authority.find(']');
    return std::string(
        authority.substr(1, close == std::string_view::npos ? authority.size() - 1 : close - 1));
  }
  if (const auto colon = authority.rfind(':'); colon != std::string_view::npos) {
    authority = authority.substr(0, colon);
  }
  std::string host(authority);
  for (auto& c : host) {
    c = asciiLower(c);
  }
  return host;
}

std::optional<int> Url::port() const {
  const Parts p = parts();  // the view below must not outlive it
  std::string_view authority = p.authority;
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  if (const auto close = authority.rfind(']'); close != std::string_view::npos) {
    authority.remove_prefix(close + 1);
  }
  const auto colon = authority.rfind(':');
  if (colon == std::string_view::npos || colon + 1 >= authority.size()) {
    return std::nullopt;
  }
  int port = 0;
  for (const char c : authority.substr(colon + 1)) {
    if (c < '0' || c > '9' || port > 65535) {
      return std::nullopt;
    }
    port = port * 10 + (c - '0');
  }
  return port <= 65535 ? std::optional<int>(port) : std::nullopt;
}

std::string Url::percentEncodedPath() const {
  return parts().path;
}

std::string Url::query() const {
  return parts().query.value_or("");
}

std::string Url::path() const {
  return percentDecode(parts().path);
}

std::string Url::lastPathComponent() const {
  std::string p = path();
  while (p.size() > 1 && p.back() == '/') {
    p.pop_back();
  }
  const auto slash = p.rfind('/');
  return slash == std::string::npos || p.size() == 1 ? p : p.substr(slash + 1);
}

std::string Url::pathExtension() const {
  const std::string last = lastPathComponent();
  const auto dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) {
    return {};
  }
  return last.substr(dot + 1);
}

std::string Url::deletingPathExtensionOfLastComponent() const {
  const std::string last = lastPathComponent();
  const std::string extension = pathExtension();
  return extension.empty() ? last : last.substr(0, last.size() - extension.size() - 1);
}

Url Url::appendingPathComponent(std::string_view component) const {
  Parts p = parts();
  if (p.path.empty() || p.path.back() != '/') {
    p.path += '/';
  }
  // Slashes inside a component are kept as separators, as a file-system path would.
  p.path += percentEncode(component, true);
  return Url(p.join());
}

Url Url::withPercentEncodedQuery(std::string_view query) const {
  Parts p = parts();
  if (query.empty()) {
    p.query.reset();
  } else {
    p.query = std::string(query);
  }
  return Url(p.join());
}

}  // namespace tessaline
