#include <Tessaline/records/detail/Hash.h>
#include <Tessaline/records/detail/Json.h>
#include <Tessaline/service/UpdateCheckResponse.h>

namespace tessaline {

namespace detail {

template <>
struct JsonCoding<UpdateCheckResponse> {
  static UpdateCheckResponse decode(const JsonReader& in) {
    UpdateCheckResponse response;
    response.beta = in.required<bool>("beta");
    response.latestBuild = in.required<std::int64_t>("latestBuild");
    response.updateAvailable = in.required<bool>("updateAvailable");
    response.message = in.optional<std::string>("message");
    return response;
  }
  static OrderedJson encode(const UpdateCheckResponse& value) {
    OrderedJson object = OrderedJson::object();
    put(object, "beta", value.beta);
    put(object, "latestBuild", value.latestBuild);
    put(object, "updateAvailable", value.updateAvailable);
    put(object, "message", value.message);
    return object;
  }
};

}  // namespace detail

Result<UpdateCheckResponse> UpdateCheckResponse::fromJson(std::string_view json) {
  return detail::decodeJson<UpdateCheckResponse>(json);
}

Result<std::string> UpdateCheckResponse::toJson() const {
  return detail::encodeJson(*this);
}

}  // namespace tessaline

std::size_t std::hash<tessaline::UpdateCheckResponse>::operator()(
    const tessaline::UpdateCheckResponse& value) const noexcept {
  return tessaline::detail::hashValues(value.beta, value.latestBuild, value.updateAvailable,
                                       value.message);
}
