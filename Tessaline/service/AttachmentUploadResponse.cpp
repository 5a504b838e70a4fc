#include <Tessaline/records/detail/Hash.h>
#include <Tessaline/records/detail/Json.h>
#include <Tessaline/service/AttachmentUploadResponse.h>

namespace tessaline {

namespace detail {

template <>
struct JsonCoding<AttachmentUploadResponse> {
  static AttachmentUploadResponse decode(const JsonReader& in) {
    AttachmentUploadResponse response;
    response.localId = in.required<std::string>("localId");
    response.attachmentId = in.required<std::string>("attachmentId");
    response.name = in.required<std::string>("name");
    return response;
  }
  static OrderedJson encode(const AttachmentUploadResponse& value) {
    OrderedJson object = OrderedJson::object();
    put(object, "localId", value.localId);
    put(object, "attachmentId", value.attachmentId);
    put(object, "name", value.name);
    return object;
  }
};

}  // namespace detail

Result<AttachmentUploadResponse> AttachmentUploadResponse::fromJson(std::string_view json) {
  return detail::decodeJson<AttachmentUploadResponse>(json);
}

Result<std::string> AttachmentUploadResponse::toJson() const {
  return detail::encodeJson(*this);
}

}  // namespace tessaline

std::size_t std::hash<tessaline::AttachmentUploadResponse>::operator()(
    const tessaline::AttachmentUploadResponse& value) const noexcept {
  return tessaline::detail::hashValues(value.localId, value.attachmentId, value.name);
}
