#include <platform/Logger.h>

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace tessaline::platform {

namespace {

// Writes to journald, with the subsystem and category as fields that the log capture filters on.
class JournalSink final : public LogSink {
 public:
  void write(const LogRecord& record) override {
    int priority = LOG_NOTICE;
    if (record.level == LogLevel::debug) {
      priority = LOG_DEBUG;
    } else if (record.level == LogLevel::error) {
      priority = LOG_ERR;
    }
    sd_journal_send("MESSAGE=%s", record.redacted.c_str(), "PRIORITY=%d", priority,
                    "TESSALINE_SUBSYSTEM=%s", record.subsystem.c_str(), "TESSALINE_CATEGORY=%s",
                    record.category.c_str(), nullptr);
  }
};

}  // namespace

LogSink* systemLogSink() {
  // Only where journald runs; elsewhere (containers) the lines would go nowhere.
  static LogSink* sink =
      access("/run/systemd/journal/socket", W_OK) == 0 ? new JournalSink() : nullptr;
  return sink;
}

}  // namespace tessaline::platform
