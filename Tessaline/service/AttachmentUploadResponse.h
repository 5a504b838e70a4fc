#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tessaline {

// The service's answer to one attachment upload.
struct TESSALINE_EXPORT AttachmentUploadResponse {
  std::string localId;       // the service's own; not read by the library
  std::string attachmentId;  // sent back in the report as the attachment's id
  std::string name;          // sent back in the report as the attachment's name

  static Result<AttachmentUploadResponse> fromJson(std::string_view json);
  Result<std::string> toJson() const;

  friend bool operator==(const AttachmentUploadResponse&,
                         const AttachmentUploadResponse&) = default;
};

}  // namespace tessaline

template <>
struct TESSALINE_EXPORT std::hash<tessaline::AttachmentUploadResponse> {
  std::size_t operator()(const tessaline::AttachmentUploadResponse& value) const noexcept;
};
