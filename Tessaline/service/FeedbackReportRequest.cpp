#include <Tessaline/records/Feedback.h>
#include <Tessaline/records/detail/Hash.h>
#include <Tessaline/records/detail/Json.h>
#include <Tessaline/service/FeedbackReportRequest.h>

namespace tessaline {

namespace detail {

template <>
struct JsonCoding<FeedbackReportRequest::Message> {
  static FeedbackReportRequest::Message decode(const JsonReader& in) {
    return {in.required<std::string>("body")};
  }
  static OrderedJson encode(const FeedbackReportRequest::Message& value) {
    OrderedJson object = OrderedJson::object();
    put(object, "body", value.body);
    return object;
  }
};

template <>
struct JsonCoding<FeedbackReportRequest::Attachment> {
  static FeedbackReportRequest::Attachment decode(const JsonReader& in) {
    return {in.required<std::string>("id"), in.required<std::string>("name")};
  }
  static OrderedJson encode(const FeedbackReportRequest::Attachment& value) {
    OrderedJson object = OrderedJson::object();
    put(object, "id", value.id);
    put(object, "name", value.name);
    return object;
  }
};

template <>
struct JsonCoding<FeedbackReportRequest> {
  static FeedbackReportRequest decode(const JsonReader& in) {
    FeedbackReportRequest request;
    request.localId = in.required<Uuid>("localId");
    request.reasonId = in.required<std::int64_t>("reasonId");
    request.frequencyId = in.required<std::int64_t>("frequencyId");
    request.subject = in.required<std::string>("subject");
    request.messages = in.required<std::vector<FeedbackReportRequest::Message>>("messages");
    request.name = in.optional<std::string>("name");
    request.email = in.optional<std::string>("email");
    request.attachments =
        in.required<std::vector<FeedbackReportRequest::Attachment>>("attachments");
    return request;
  }
  static OrderedJson encode(const FeedbackReportRequest& value) {
    OrderedJson object = OrderedJson::object();
    put(object, "localId", value.localId);
    put(object, "reasonId", value.reasonId);
    put(object, "frequencyId", value.frequencyId);
    put(object, "subject", value.subject);
    put(object, "messages", value.messages);
    put(object, "name", value.name);
    put(object, "email", value.email);
    put(object, "attachments", value.attachments);
    return object;
  }
};

}  // namespace detail

FeedbackReportRequest FeedbackReportRequest::make(const Feedback& feedback,
                                                  std::vector<Attachment> attachments) {
  FeedbackReportRequest request;
  request.localId = feedback.localId;
  request.reasonId = feedback.reason.id;
  request.frequencyId = feedback.reproductionFrequency.id;
  request.subject = feedback.subject.value_or(kNoSubject);
  for (const auto& message : feedback.messages) {
    request.messages.push_back({message.body});
  }
  if (feedback.contactInformation) {
    request.name = feedback.contactInformation->name;
    request.email = feedback.contactInformation->email;
  }
  request.attachments = std::move(attachments);
  return request;
}

Result<FeedbackReportRequest> FeedbackReportRequest::fromJson(std::string_view json) {
  return detail::decodeJson<FeedbackReportRequest>(json);
}

Result<std::string> FeedbackReportRequest::toJson() const {
  return detail::encodeJson(*this);
}

}  // namespace tessaline

std::size_t std::hash<tessaline::FeedbackReportRequest::Message>::operator()(
    const tessaline::FeedbackReportRequest::Message& value) const noexcept {
  return tessaline::detail::hashValues(value.body);
}

std::size_t std::hash<tessaline::FeedbackReportRequest::Attachment>::operator()(
    const tessaline::FeedbackReportRequest::Attachment& value) const noexcept {
  return tessaline::detail::hashValues(value.id, value.name);
}

std::size_t std::hash<tessaline::FeedbackReportRequest>::operator()(
    const tessaline::FeedbackReportRequest& value) const noexcept {
  return tessaline::detail::hashValues(value.localId, value.reasonId, value.frequencyId,
                                       value.subject, value.messages, value.name, value.email,
                                       value.attachments);
}
