#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <cstdint>
#include <optional>
#include <string>

namespace tessaline::platform {

// The size of a regular file in bytes; nothing for an item without a size (a folder, a device);
// a file-system error when the item cannot be examined (for example because it does not exist).
TESSALINE_EXPORT Result<std::optional<std::int64_t>> fileSizeOfItem(const std::string& path);

}  // namespace tessaline::platform
