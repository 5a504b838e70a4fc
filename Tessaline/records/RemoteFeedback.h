#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/records/Uuid.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

// A feedback item in its remote form, for the host's own use.
struct TESSALINE_EXPORT RemoteFeedback {
  // A reference to one attachment of the item.
  struct TESSALINE_EXPORT Attachment {
    std::string id;
    std::string name;

    static Result<Attachment> fromJson(std::string_view json);
    Result<std::string> toJson() const;
    friend bool operator==(const Attachment&, const Attachment&) = default;
  };

  std::string id;
  Uuid localId;
  Feedback::Reason reason;
  std::optional<Feedback::ReproductionFrequency> frequency;
  std::string subject;
  std::optional<std::string> name;
  std::optional<std::string> email;
  std::string message;
  std::optional<std::vector<Attachment>> attachments;  // an empty list is not none
  std::optional<std::string> releaseTrain;

  static Result<RemoteFeedback> fromJson(std::string_view json);
  Result<std::string> toJson() const;

  friend bool operator==(const RemoteFeedback&, const RemoteFeedback&) = default;
};

}  // namespace tessaline

template <>
struct TESSALINE_EXPORT std::hash<tessaline::RemoteFeedback::Attachment> {
  std::size_t operator()(const tessaline::RemoteFeedback::Attachment& value) const noexcept;
};
template <>
struct TESSALINE_EXPORT std::hash<tessaline::RemoteFeedback> {
  std::size_t operator()(const tessaline::RemoteFeedback& value) const noexcept;
};
