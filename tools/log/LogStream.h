#pragma once

#include <tools/log/LogEntry.h>
#include <tools/log/Predicate.h>

#include <functional>
#include <string_view>

namespace tessaline::tools::log {

// The core of `log stream`: prints the header, then every entry that passes the level and the
// predicate, in the compact style. Entries come from any source (the journal, a fixture).
class LogStream {
 public:
  using Writer = std::function<void(std::string_view)>;

  LogStream(Predicate predicate, int priorityThreshold, Writer writer)
      : predicate_(std::move(predicate)),
        threshold_(priorityThreshold),
        writer_(std::move(writer)) {}

  void begin(std::string_view predicateText) { writer_(compactHeader(predicateText)); }

  // Prints the entry when the capture keeps it; true when it did.
  bool add(const LogEntry& entry) {
    if (entry.priority > threshold_ || !predicate_.matches(entry)) {
      return false;
    }
    writer_(formatCompact(entry));
    return true;
  }

 private:
  Predicate predicate_;
  int threshold_;
  Writer writer_;
};

}  // namespace tessaline::tools::log
