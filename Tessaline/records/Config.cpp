#include <Tessaline/records/Config.h>
#include <Tessaline/records/detail/Hash.h>
#include <Tessaline/records/detail/RecordCoding.h>

namespace tessaline {

Result<Config> Config::fromJson(std::string_view json) {
  return detail::decodeJson<Config>(json);
}

Result<std::string> Config::toJson() const {
  return detail::encodeJson(*this);
}

Result<KnownIssue> KnownIssue::fromJson(std::string_view json) {
  return detail::decodeJson<KnownIssue>(json);
}

Result<std::string> KnownIssue::toJson() const {
  return detail::encodeJson(*this);
}

Result<OSBuild> OSBuild::fromJson(std::string_view json) {
  return detail::decodeJson<OSBuild>(json);
}

Result<std::string> OSBuild::toJson() const {
  return detail::encodeJson(*this);
}

namespace detail {

KnownIssue JsonCoding<KnownIssue>::decode(const JsonReader& in) {
  KnownIssue issue;
  issue.id = in.required<std::string>("id");
  issue.affectedAppBuilds = in.required<std::vector<std::int64_t>>("affectedAppBuilds");
  issue.affectedOSBuilds = in.required<std::vector<std::string>>("affectedOSBuilds");
  issue.message = in.required<std::string>("message");
  return issue;
}
OrderedJson JsonCoding<KnownIssue>::encode(const KnownIssue& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "id", value.id);
  put(object, "affectedAppBuilds", value.affectedAppBuilds);
  put(object, "affectedOSBuilds", value.affectedOSBuilds);
  put(object, "message", value.message);
  return object;
}

OSBuild JsonCoding<OSBuild>::decode(const JsonReader& in) {
  OSBuild build;
  build.id = in.required<std::string>("id");
  build.name = in.required<std::string>("name");
  build.message = in.required<std::string>("message");
  return build;
}
OrderedJson JsonCoding<OSBuild>::encode(const OSBuild& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "id", value.id);
  put(object, "name", value.name);
  put(object, "message", value.message);
  return object;
}

Config JsonCoding<Config>::decode(const JsonReader& in) {
  Config config;
  config.minVersion = in.required<AppVersion>("minVersion");
  config.minBuildNumber = in.required<std::int64_t>("minBuildNumber");
  config.minBuildNumberBeta = in.required<std::int64_t>("minBuildNumberBeta");
  config.minMessageLength = in.required<std::int64_t>("minMessageLength");
  config.maxMessageLength = in.required<std::int64_t>("maxMessageLength");
  config.maxAttachmentSize = in.required<std::int64_t>("maxAttachmentSize");
  config.reasons = in.required<std::vector<Feedback::Reason>>("reasons");
  config.frequencies = in.required<std::vector<Feedback::ReproductionFrequency>>("frequencies");
  config.blockedOSBuilds = in.required<std::vector<OSBuild>>("blockedOSBuilds");
  config.knownIssues = in.required<std::vector<KnownIssue>>("knownIssues");
  return config;
}
OrderedJson JsonCoding<Config>::encode(const Config& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "minVersion", value.minVersion);
  put(object, "minBuildNumber", value.minBuildNumber);
  put(object, "minBuildNumberBeta", value.minBuildNumberBeta);
  put(object, "minMessageLength", value.minMessageLength);
  put(object, "maxMessageLength", value.maxMessageLength);
  put(object, "maxAttachmentSize", value.maxAttachmentSize);
  put(object, "reasons", value.reasons);
  put(object, "frequencies", value.frequencies);
  put(object, "blockedOSBuilds", value.blockedOSBuilds);
  put(object, "knownIssues", value.knownIssues);
  return object;
}

}  // namespace detail

}  // namespace tessaline

using tessaline::detail::hashValues;

std::size_t std::hash<tessaline::KnownIssue>::operator()(
    const tessaline::KnownIssue& value) const noexcept {
  return hashValues(value.id, value.affectedAppBuilds, value.affectedOSBuilds, value.message);
}

std::size_t std::hash<tessaline::OSBuild>::operator()(
    const tessaline::OSBuild& value) const noexcept {
  return hashValues(value.id, value.name, value.message);
}

std::size_t std::hash<tessaline::Config>::operator()(
    const tessaline::Config& value) const noexcept {
  return hashValues(value.minVersion, value.minBuildNumber, value.minBuildNumberBeta,
                    value.minMessageLength, value.maxMessageLength, value.maxAttachmentSize,
                    value.reasons, value.frequencies, value.blockedOSBuilds, value.knownIssues);
}
