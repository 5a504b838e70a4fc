#pragma once

#include <Tessaline/Export.h>

#include <concepts>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline::platform {

enum class LogLevel { debug, defaultLevel, error };

TESSALINE_EXPORT std::string_view logLevelName(LogLevel level);

// One argument of a log line: a text or an integer.
class TESSALINE_EXPORT LogArgument {
 public:
  LogArgument(std::string_view text) : isText_(true), text_(text) {}               // NOLINT
  LogArgument(const std::string& text) : isText_(true), text_(text) {}             // NOLINT
  LogArgument(const char* text) : isText_(true), text_(text ? text : "(null)") {}  // NOLINT
  template <std::integral I>
  requires(!std::same_as<I, bool> && !std::same_as<I, char>) LogArgument(I value)
      : isText_(false), integer_(static_cast<std::int64_t>(value)) {}  // NOLINT

  bool isText() const { return isText_; }
  const std::string& text() const { return text_; }
  std::int64_t integer() const { return integer_; }

 private:
  bool isText_;
  std::string text_;
  std::int64_t integer_ = 0;
};

// One rendered log line.
struct LogRecord {
  LogLevel level;
  std::string subsystem;
  std::string category;
  std::string format;    // the format text as written in the code
  std::string message;   // every argument in clear
  std::string redacted;  // private ("%@") arguments shown as "<private>"
};

// A destination of log lines. write() is called under the logger's lock, one line at a time.
class TESSALINE_EXPORT LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(const LogRecord& record) = 0;
};

// Keeps every line written while it is installed; tests read it.
class TESSALINE_EXPORT LogCapture final : public LogSink {
 public:
  LogCapture();  // installs itself
  ~LogCapture() override;
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  void write(const LogRecord& record) override;
  std::vector<LogRecord> records() const;
  // Lines with this format text (and category, when given).
  std::vector<LogRecord> withFormat(std::string_view format, std::string_view category = {}) const;
  std::size_t count(std::string_view format, std::string_view category = {}) const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

// A handle of the unified log with a subsystem and a category. Placeholders: "%{public}@" and
// "%{public}s" (text in clear), "%@" (text that is redacted unless TESSALINE_LOG_PRIVATE=1), "%d"
// and "%{public}d" (integers), "%%". Lines go to journald where it runs, to standard error when
// TESSALINE_LOG_STDERR=1, and to every installed sink.
class TESSALINE_EXPORT Logger {
 public:
  Logger(std::string subsystem, std::string category);

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  template <class... Args>
  void debug(std::string_view format, const Args&... args) const {
    write(LogLevel::debug, format, {LogArgument(args)...});
  }
  template <class... Args>
  void log(std::string_view format, const Args&... args) const {
    write(LogLevel::defaultLevel, format, {LogArgument(args)...});
  }
  template <class... Args>
  void error(std::string_view format, const Args&... args) const {
    write(LogLevel::error, format, {LogArgument(args)...});
  }

  void write(LogLevel level, std::string_view format,
             std::initializer_list<LogArgument> arguments) const;

  // Sinks beyond the built-in ones (the capture sink of tests, a host's own).
  static void addSink(LogSink* sink);
  static void removeSink(LogSink* sink);

  // Renders a format with its arguments; redacts private values when asked.
  static std::string render(std::string_view format, std::initializer_list<LogArgument> arguments,
                            bool redactPrivate);

 private:
  std::string subsystem_;
  std::string category_;
};

// The subsystem of every logger of the library.
inline constexpr std::string_view kLogSubsystem = "brisquet.Tessaline";

}  // namespace tessaline::platform
