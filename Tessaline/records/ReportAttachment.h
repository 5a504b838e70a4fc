#pragma once

#include <Tessaline/Bytes.h>
#include <Tessaline/Export.h>
#include <Tessaline/Url.h>

#include <string>
#include <variant>

namespace tessaline {

// One attachment of a report on its way to the upload: a user's file, read when it is uploaded,
// or a diagnostics payload already in memory.
struct TESSALINE_EXPORT ReportAttachment {
  // The two cases, in this order: file, payload.
  using Contents = std::variant<Url, Bytes>;

  static Contents file(Url url) { return Contents(std::in_place_index<0>, std::move(url)); }
  static Contents payload(Bytes bytes) {
    return Contents(std::in_place_index<1>, std::move(bytes));
  }

  ReportAttachment(std::string id, Contents contents, std::string fileExtension)
      : id(std::move(id)), contents(std::move(contents)), fileExtension(std::move(fileExtension)) {}

  std::string id;
  Contents contents;
  std::string fileExtension;

  const Url* fileURL() const { return std::get_if<Url>(&contents); }
  const Bytes* payloadBytes() const { return std::get_if<Bytes>(&contents); }

  friend bool operator==(const ReportAttachment&, const ReportAttachment&) = default;
};

}  // namespace tessaline

template <>
struct TESSALINE_EXPORT std::hash<tessaline::ReportAttachment> {
  std::size_t operator()(const tessaline::ReportAttachment& value) const noexcept;
};
