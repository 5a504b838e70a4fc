#include <Tessaline/records/PreferencesDump.h>
#include <Tessaline/records/detail/RecordCoding.h>

namespace tessaline {

Result<PreferencesDump> PreferencesDump::fromJson(std::string_view json) {
  return detail::decodeJson<PreferencesDump>(json);
}

Result<std::string> PreferencesDump::toJson() const {
  return detail::encodeJson(*this);
}

namespace detail {

PreferencesDump JsonCoding<PreferencesDump>::decode(const JsonReader& in) {
  // Read in key order, so the first bad key is the one reported.
  const bool isUsingCloud = in.required<bool>("isUsingCloud");
  Bytes syncedDefaults = in.required<Bytes>("syncedDefaults");
  Bytes appGroupDefaults = in.required<Bytes>("appGroupDefaults");
  Bytes helperDefaults = in.required<Bytes>("helperDefaults");
  return PreferencesDump(isUsingCloud, std::move(syncedDefaults), std::move(appGroupDefaults),
                         std::move(helperDefaults), in.optional<Bytes>("batteryAlerts"));
}

OrderedJson JsonCoding<PreferencesDump>::encode(const PreferencesDump& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "isUsingCloud", value.isUsingCloud);
  put(object, "syncedDefaults", value.syncedDefaults);
  put(object, "appGroupDefaults", value.appGroupDefaults);
  put(object, "helperDefaults", value.helperDefaults);
  put(object, "batteryAlerts", value.batteryAlerts);
  return object;
}

}  // namespace detail

}  // namespace tessaline
