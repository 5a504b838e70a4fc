#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tessaline {

// The service's answer to a report: the identifier it gave the report.
struct TESSALINE_EXPORT FeedbackSubmissionResponse {
  std::string id;

  static Result<FeedbackSubmissionResponse> fromJson(std::string_view json);
  Result<std::string> toJson() const;

  friend bool operator==(const FeedbackSubmissionResponse&,
                         const FeedbackSubmissionResponse&) = default;
};

}  // namespace tessaline

template <>
struct TESSALINE_EXPORT std::hash<tessaline::FeedbackSubmissionResponse> {
  std::size_t operator()(const tessaline::FeedbackSubmissionResponse& value) const noexcept;
};
