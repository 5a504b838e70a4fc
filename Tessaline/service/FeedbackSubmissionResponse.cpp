#include <Tessaline/records/detail/Hash.h>
#include <Tessaline/records/detail/Json.h>
#include <Tessaline/service/FeedbackSubmissionResponse.h>

namespace tessaline {

namespace detail {

template <>
struct JsonCoding<FeedbackSubmissionResponse> {
  static FeedbackSubmissionResponse decode(const JsonReader& in) {
    FeedbackSubmissionResponse response;
    response.id = in.required<std::string>("id");
    return response;
  }
  static OrderedJson encode(const FeedbackSubmissionResponse& value) {
    OrderedJson object = OrderedJson::object();
    put(object, "id", value.id);
    return object;
  }
};

}  // namespace detail

Result<FeedbackSubmissionResponse> FeedbackSubmissionResponse::fromJson(std::string_view json) {
  return detail::decodeJson<FeedbackSubmissionResponse>(json);
}

Result<std::string> FeedbackSubmissionResponse::toJson() const {
  return detail::encodeJson(*this);
}

}  // namespace tessaline

std::size_t std::hash<tessaline::FeedbackSubmissionResponse>::operator()(
    const tessaline::FeedbackSubmissionResponse& value) const noexcept {
  return tessaline::detail::hashValues(value.id);
}
