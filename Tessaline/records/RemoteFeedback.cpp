#include <Tessaline/records/RemoteFeedback.h>
#include <Tessaline/records/detail/Hash.h>
#include <Tessaline/records/detail/RecordCoding.h>

namespace tessaline {

Result<RemoteFeedback::Attachment> RemoteFeedback::Attachment::fromJson(std::string_view json) {
  return detail::decodeJson<Attachment>(json);
}

Result<std::string> RemoteFeedback::Attachment::toJson() const {
  return detail::encodeJson(*this);
}

Result<RemoteFeedback> RemoteFeedback::fromJson(std::string_view json) {
  return detail::decodeJson<RemoteFeedback>(json);
}

Result<std::string> RemoteFeedback::toJson() const {
  return detail::encodeJson(*this);
}

namespace detail {

RemoteFeedback::Attachment JsonCoding<RemoteFeedback::Attachment>::decode(const JsonReader& in) {
  RemoteFeedback::Attachment attachment;
  attachment.id = in.required<std::string>("id");
  attachment.name = in.required<std::string>("name");
  return attachment;
}
OrderedJson JsonCoding<RemoteFeedback::Attachment>::encode(
    const RemoteFeedback::Attachment& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "id", value.id);
  put(object, "name", value.name);
  return object;
}

RemoteFeedback JsonCoding<RemoteFeedback>::decode(const JsonReader& in) {
  RemoteFeedback item;
  item.id = in.required<std::string>("id");
  item.localId = in.required<Uuid>("localId");
  item.reason = in.required<Feedback::Reason>("reason");
  item.frequency = in.optional<Feedback::ReproductionFrequency>("frequency");
  item.subject = in.required<std::string>("subject");
  item.name = in.optional<std::string>("name");
  item.email = in.optional<std::string>("email");
  item.message = in.required<std::string>("message");
  item.attachments = in.optional<std::vector<RemoteFeedback::Attachment>>("attachments");
  item.releaseTrain = in.optional<std::string>("releaseTrain");
  return item;
}
OrderedJson JsonCoding<RemoteFeedback>::encode(const RemoteFeedback& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "id", value.id);
  put(object, "localId", value.localId);
  put(object, "reason", value.reason);
  put(object, "frequency", value.frequency);
  put(object, "subject", value.subject);
  put(object, "name", value.name);
  put(object, "email", value.email);
  put(object, "message", value.message);
  put(object, "attachments", value.attachments);
  put(object, "releaseTrain", value.releaseTrain);
  return object;
}

}  // namespace detail

}  // namespace tessaline

using tessaline::detail::hashValues;

std::size_t std::hash<tessaline::RemoteFeedback::Attachment>::operator()(
    const tessaline::RemoteFeedback::Attachment& value) const noexcept {
  return hashValues(value.id, value.name);
}

std::size_t std::hash<tessaline::RemoteFeedback>::operator()(
    const tessaline::RemoteFeedback& value) const noexcept {
  return hashValues(value.id, value.localId, value.reason, value.frequency, value.subject,
                    value.name, value.email, value.message, value.attachments, value.releaseTrain);
}
