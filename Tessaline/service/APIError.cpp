#include <Tessaline/service/APIError.h>

namespace tessaline {

std::string APIError::description() const {
  std::string quoted;
  for (const char c : localizedDescription_) {
    switch (c) {
      case '"':
        quoted += "\\\"";
        break;
      case '\\':
        quoted += "\\\\";
        break;
      case '\n':
        quoted += "\\n";
        break;
      case '\r':
        quoted += "\\r";
        break;
      case '\t':
        quoted += "\\t";
        break;
      default:
        quoted += c;
    }
  }
  return "APIError(localizedDescription: \"" + quoted + "\")";
}

}  // namespace tessaline
