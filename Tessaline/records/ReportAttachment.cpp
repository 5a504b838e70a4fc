#include <Tessaline/records/ReportAttachment.h>
#include <Tessaline/records/detail/Hash.h>

std::size_t std::hash<tessaline::ReportAttachment>::operator()(
    const tessaline::ReportAttachment& value) const noexcept {
  // The variant's hash covers which case it holds as well as its payload.
  return tessaline::detail::hashValues(value.id, value.contents, value.fileExtension);
}
