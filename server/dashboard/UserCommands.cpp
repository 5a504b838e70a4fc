#include "UserCommands.h"

#include "OperatorCommands.h"
#include "Passwords.h"
#include "TextChecks.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <string>

namespace tessaline::server {

namespace {

constexpr std::size_t kMinPassword = 8;
constexpr std::size_t kMaxPassword = 1024;

// One line from the terminal with echo off.
std::string askHidden(const char* prompt, std::istream& in, std::ostream& err) {
  err << prompt << std::flush;
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  std::getline(in, line);
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    err << "\n";
  }
  return line;
}

}  // namespace

int addUser(Store& store, std::string_view name, std::istream& in, std::ostream& out,
            std::ostream& err) {
  if (name.empty() || name.size() > 64 || !isValidUtf8(name) || hasControlCharacters(name)) {
    err << "tessaline-service: a user name is 1 to 64 characters, without control characters\n";
    return 2;
  }
  if (!passwords::initialise()) {
    err << "tessaline-service: libsodium cannot start\n";
    return 1;
  }
  std::string password;
  if (isatty(STDIN_FILENO) && &in == &std::cin) {
    password = askHidden("Password: ", in, err);
    if (askHidden("Again: ", in, err) != password) {
      err << "tessaline-service: the passwords differ\n";
      return 2;
    }
  } else {
    std::getline(in, password);
    if (!password.empty() && password.back() == '\r') {
      password.pop_back();
    }
  }
  if (password.size() < kMinPassword || password.size() > kMaxPassword) {
    err << "tessaline-service: a password has " << kMinPassword << " to " << kMaxPassword
        << " bytes\n";
    return 2;
  }
  const std::string hash = passwords::hash(password);
  if (hash.empty()) {
    err << "tessaline-service: cannot hash the password (out of memory)\n";
    return 1;
  }
  Result<bool> added = store.addUser(name, hash);
  if (!added) {
    err << "tessaline-service: " << added.error().description() << "\n";
    return 1;
  }
  if (!added.value()) {
    err << "tessaline-service: user " << printable(name, false) << " exists already\n";
    return 1;
  }
  out << "added user " << printable(name, false) << "\n";
  return 0;
}

int removeUser(Store& store, std::string_view name, std::ostream& out, std::ostream& err) {
  Result<bool> removed = store.removeUser(name);
  if (!removed) {
    err << "tessaline-service: " << removed.error().description() << "\n";
    return 1;
  }
  if (!removed.value()) {
    err << "tessaline-service: no user " << printable(name, false) << "\n";
    return 1;
  }
  out << "removed user " << printable(name, false) << "\n";
  return 0;
}

int listUsers(Store& store, std::ostream& out, std::ostream& err) {
  Result<std::vector<UserAccount>> users = store.users();
  if (!users) {
    err << "tessaline-service: " << users.error().description() << "\n";
    return 1;
  }
  for (const UserAccount& user : users.value()) {
    out << printable(user.name, false) << "\t" << isoTime(user.createdMs) << "\n";
  }
  return 0;
}

}  // namespace tessaline::server
