#include <Tessaline/service/Environment.h>
#include <Tessaline/service/detail/ServiceAddress.h>

#include <platform/HttpSession.h>
#include <platform/Logger.h>

#include <cstdlib>
#include <string>

namespace tessaline {

namespace detail {

Result<Url> parseServiceURL(std::string_view text) {
  const auto url = Url::parse(text);
  if (!url) {
    return Error(Error::Kind::generic, "it is not an absolute URL");
  }
  const std::string scheme = url->scheme();
  if (scheme != "https" && scheme != "http") {
    return Error(Error::Kind::generic, "the scheme must be https");
  }
  if (!url->absoluteString().substr(scheme.size() + 1).starts_with("//") || url->host().empty()) {
    return Error(Error::Kind::generic, "it has no host");
  }
  if (scheme == "http" && !platform::isLoopbackHost(url->host())) {
    return Error(Error::Kind::generic, "plain http is accepted only for this machine");
  }
  if (text.find_first_of("?#@") != std::string_view::npos) {
    return Error(Error::Kind::generic, "a base URL has no query, fragment or user information");
  }
  return *url;
}

}  // namespace detail

Environment Environment::production() {
  const platform::Logger log{std::string(platform::kLogSubsystem), "Environment"};
  auto url = detail::parseServiceURL(TESSALINE_DEFAULT_SERVICE_URL);
  if (!url) {
    // Only a misconfigured build gets here; its requests fail instead of going somewhere else.
    log.error("The built-in service URL %{public}@ is not usable: %{public}@",
              TESSALINE_DEFAULT_SERVICE_URL, url.error().description());
    return Environment(*Url::parse("https://service-url-misconfigured.invalid/v1"));
  }
  if (const char* override = std::getenv("TESSALINE_SERVICE_URL");
      override != nullptr && *override != '\0') {
    auto chosen = detail::parseServiceURL(override);
    if (chosen) {
      return Environment(std::move(chosen).value());
    }
    log.error("Ignoring TESSALINE_SERVICE_URL %{public}@: %{public}@", override,
              chosen.error().description());
  }
  return Environment(std::move(url).value());
}

const Environment& Environment::current() {
  static const auto* current = new Environment(production());  // lives until the process ends
  return *current;
}

}  // namespace tessaline
