#pragma once

#include "Store.h"

#include <istream>
#include <ostream>
#include <string_view>

namespace tessaline::server {

// The operator's account commands for the dashboard. Each returns the process exit code.

// Reads the password from the terminal without echo (asked twice), or as one line from a
// standard input that is not a terminal.
int addUser(Store& store, std::string_view name, std::istream& in, std::ostream& out,
            std::ostream& err);
int removeUser(Store& store, std::string_view name, std::ostream& out, std::ostream& err);
int listUsers(Store& store, std::ostream& out, std::ostream& err);

}  // namespace tessaline::server
