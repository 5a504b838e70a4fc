#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/records/Uuid.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

struct Feedback;

// The JSON body of a report submission, encoded in field order.
struct TESSALINE_EXPORT FeedbackReportRequest {
  struct TESSALINE_EXPORT Message {
    std::string body;

    friend bool operator==(const Message&, const Message&) = default;
  };

  // An uploaded attachment: the attachmentId and name of its upload answer.
  struct TESSALINE_EXPORT Attachment {
    std::string id;
    std::string name;

    friend bool operator==(const Attachment&, const Attachment&) = default;
  };

  // The subject sent for a report that has none.
  static constexpr const char* kNoSubject = "(No Subject)";

  Uuid localId;
  std::int64_t reasonId = -1;
  std::int64_t frequencyId = -1;
  std::string subject;
  std::vector<Message> messages;
  std::optional<std::string> name;   // left out when absent
  std::optional<std::string> email;  // left out when absent
  std::vector<Attachment> attachments;

  // The request for a feedback and its uploaded attachments (in the given order). Only the
  // message bodies are sent; remoteId and creationDate are not.
  static FeedbackReportRequest make(const Feedback& feedback, std::vector<Attachment> attachments);

  static Result<FeedbackReportRequest> fromJson(std::string_view json);
  // Compact JSON; text that is not UTF-8 gives an Error of kind encoding.
  Result<std::string> toJson() const;

  friend bool operator==(const FeedbackReportRequest&, const FeedbackReportRequest&) = default;
};

}  // namespace tessaline

template <>
struct TESSALINE_EXPORT std::hash<tessaline::FeedbackReportRequest::Message> {
  std::size_t operator()(const tessaline::FeedbackReportRequest::Message& value) const noexcept;
};
template <>
struct TESSALINE_EXPORT std::hash<tessaline::FeedbackReportRequest::Attachment> {
  std::size_t operator()(const tessaline::FeedbackReportRequest::Attachment& value) const noexcept;
};
template <>
struct TESSALINE_EXPORT std::hash<tessaline::FeedbackReportRequest> {
  std::size_t operator()(const tessaline::FeedbackReportRequest& value) const noexcept;
};
