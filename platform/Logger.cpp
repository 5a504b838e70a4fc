#include <platform/Logger.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tessaline::platform {

// The built-in journald sink; defined by the per-OS file.
LogSink* systemLogSink();

namespace {

bool envFlag(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

class StandardErrorSink final : public LogSink {
 public:
  void write(const LogRecord& record) override {
    std::fprintf(stderr, "[%s] %s:%s %s\n", std::string(logLevelName(record.level)).c_str(),
                 record.subsystem.c_str(), record.category.c_str(), record.redacted.c_str());
  }
};

struct Sinks {
  std::mutex mutex;
  std::vector<LogSink*> extra;
  bool showPrivate = envFlag("TESSALINE_LOG_PRIVATE");
  LogSink* standardError = envFlag("TESSALINE_LOG_STDERR") ? new StandardErrorSink() : nullptr;
};

Sinks& sinks() {
  static auto* instance = new Sinks();  // loggers may run during static destruction
  return *instance;
}

}  // namespace

std::string_view logLevelName(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return "debug";
    case LogLevel::defaultLevel:
      return "default";
    case LogLevel::error:
      return "error";
  }
  return "default";
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

std::string Logger::render(std::string_view format, std::initializer_list<LogArgument> arguments,
                           bool redactPrivate) {
  std::string out;
  out.reserve(format.size() + 32);
  auto next = arguments.begin();
  auto take = [&]() -> const LogArgument* { return next == arguments.end() ? nullptr : &*next++; };
  auto text = [](const LogArgument* argument) -> std::string {
    if (argument == nullptr) {
      return "(null)";
    }
    return argument->isText() ? argument->text() : std::to_string(argument->integer());
  };
  for (std::size_t i = 0; i < format.size();) {
    if (format[i] != '%') {
      out += format[i++];
      continue;
    }
    const auto rest = format.substr(i);
    if (rest.starts_with("%%")) {
      out += '%';
      i += 2;
    } else if (rest.starts_with("%{public}@") || rest.starts_with("%{public}s") ||
               rest.starts_with("%{public}d")) {
      out += text(take());
      i += 10;
    } else if (rest.starts_with("%{private}@")) {
      const auto* argument = take();
      out += redactPrivate ? "<private>" : text(argument);
      i += 11;
    } else if (rest.starts_with("%@")) {
      const auto* argument = take();
      out += redactPrivate ? "<private>" : text(argument);
      i += 2;
    } else if (rest.starts_with("%d") || rest.starts_with("%s")) {
      out += text(take());
      i += 2;
    } else {
      out += format[i++];
    }
  }
  return out;
}

void Logger::write(LogLevel level, std::string_view format,
                   std::initializer_list<LogArgument> arguments) const {
  auto& s = sinks();
  LogRecord record{level,
                   subsystem_,
                   category_,
                   std::string(format),
                   render(format, arguments, false),
                   render(format, arguments, !s.showPrivate)};
  std::lock_guard lock(s.mutex);
  if (auto* system = systemLogSink()) {
    system->write(record);
  }
  if (s.standardError != nullptr) {
    s.standardError->write(record);
  }
  for (auto* sink : s.extra) {
    sink->write(record);
  }
}

void Logger::addSink(LogSink* sink) {
  auto& s = sinks();
  std::lock_guard lock(s.mutex);
  s.extra.push_back(sink);
}

void Logger::removeSink(LogSink* sink) {
  auto& s = sinks();
  std::lock_guard lock(s.mutex);
  std::erase(s.extra, sink);
}

LogCapture::LogCapture() {
  Logger::addSink(this);
}

LogCapture::~LogCapture() {
  Logger::removeSink(this);
}

void LogCapture::write(const LogRecord& record) {
  std::lock_guard lock(mutex_);
  records_.push_back(record);
}

std::vector<LogRecord> LogCapture::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<LogRecord> LogCapture::withFormat(std::string_view format,
                                              std::string_view category) const {
  std::lock_guard lock(mutex_);
  std::vector<LogRecord> found;
  for (const auto& record : records_) {
    if (record.format == format && (category.empty() || record.category == category)) {
      found.push_back(record);
    }
  }
  return found;
}

std::size_t LogCapture::count(std::string_view format, std::string_view category) const {
  return withFormat(format, category).size();
}

void LogCapture::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

}  // namespace tessaline::platform
