#pragma once

#include <optional>
#include <string_view>

namespace tessaline::server {

// The dashboard's templates and style sheet, built into the program from assets/.
std::optional<std::string_view> dashboardAsset(std::string_view name);

}  // namespace tessaline::server
