#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

// Rewrites private details out of the text diagnostics (the system-log capture and the copies of
// the host's log files) before they leave the machine. All rules run as one RE2 alternation, so
// the default rules cost one pass over the text; a host rule that can start a match it never
// finishes (`a[^"]*"` without a later quote) makes each later search read to the end. At each
// position the leftmost match wins, and of rules matching at the same place the earlier one;
// replaced text is not scanned again.
class TESSALINE_EXPORT Redactor {
 public:
  struct Rule {
    std::string pattern;      // RE2 syntax
    std::string replacement;  // \0 is the whole match, \1 to \9 the pattern's groups
  };

  // The built-in rules: e-mail addresses, the given home folder as "~", "Bearer" tokens and the
  // values of key=, token= and password= (also api_key=, access_token=, ...).
  static std::vector<Rule> defaultRules(const std::string& homeDirectory);

  // Compiles the rules; an Error naming the first pattern or replacement that is not valid.
  static Result<Redactor> make(const std::vector<Rule>& rules);

  // The text with every match replaced.
  std::string apply(std::string_view text) const;
  // Redacts a regular file in place, or every regular file below a folder; files that hold a NUL
  // byte in their first 8 KiB are taken for binary and left alone.
  Result<Unit> applyToFiles(const std::string& path) const;

  // The process-wide rules used by the diagnostics steps: the host's rules, then the defaults
  // unless `useDefaults` is false. Invalid rules are refused with an Error and change nothing.
  // Safe from any thread; a running step keeps the rules it started with.
  static Result<Unit> setHostRules(const std::vector<Rule>& rules, bool useDefaults = true);
  // The rules in force: until the host sets any, the defaults for this user's home folder.
  static std::shared_ptr<const Redactor> current();

 private:
  struct Compiled;
  explicit Redactor(std::shared_ptr<const Compiled> compiled) : compiled_(std::move(compiled)) {}
  std::shared_ptr<const Compiled> compiled_;
};

}  // namespace tessaline
