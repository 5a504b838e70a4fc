#pragma once

// The filter language of `log stream --predicate`, the part of it that the capture uses:
//
//   predicate  := or
//   or         := and (("OR" | "||") and)*
//   and        := not (("AND" | "&&") not)*
//   not        := ("NOT" | "!") not | "(" predicate ")" | "TRUEPREDICATE" | "FALSEPREDICATE"
//               | comparison
//   comparison := key operator modifier? string
//   key        := "process" | "subsystem" | "category" | "eventMessage"
//   operator   := "CONTAINS" | "BEGINSWITH" | "ENDSWITH" | "==" | "=" | "!=" | "<>"
//   modifier   := "[c]" | "[d]" | "[cd]"        ([c]: ignore case; [d] is accepted and ignored)
//   string     := '...' | "..."                 (backslash escapes \\ \' \" \n \t)
//
// Keywords are case-insensitive; keys are not.

#include <tools/log/LogEntry.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace tessaline::tools::log {

class Predicate {
 public:
  struct ParseError {
    std::string message;  // what was wrong, with the position (1-based character)
    std::size_t offset = 0;
  };

  // Parses a predicate; a ParseError for text that is not one.
  static std::variant<Predicate, ParseError> parse(std::string_view text);

  bool matches(const LogEntry& entry) const;
  // The predicate as text, normalised (for messages and tests).
  std::string description() const;

  struct Node;

 private:
  explicit Predicate(std::shared_ptr<const Node> root) : root_(std::move(root)) {}
  std::shared_ptr<const Node> root_;
};

}  // namespace tessaline::tools::log
