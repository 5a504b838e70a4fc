#include <Tessaline/form/Outbox.h>

#include <Tessaline/records/Base64.h>
#include <Tessaline/service/FeedbackAPIClient.h>

#include <platform/AtomicFile.h>
#include <platform/FileAttributes.h>
#include <platform/FileSystem.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/SerialQueue.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <future>

namespace tessaline {

namespace {

using nlohmann::json;
using platform::FileSystem;

constexpr std::string_view kSuffix = ".report";
constexpr std::chrono::seconds kFirstBackoff{30};
constexpr std::chrono::seconds kMaxBackoff{3600};
// A service asking for more than this is taken to mean "later", not "in a year".
constexpr std::chrono::seconds kMaxRetryAfter{24 * 3600};
constexpr int kFormatVersion = 1;

std::string fileName(const std::string& path) {
  return path.substr(path.find_last_of('/') + 1);
}

// Waits for the one outcome of a deferred request. Every exchange ends: the session's time-outs
// bound it.
template <class T>
Result<T> await(const Deferred<T>& request) {
  auto promise = std::make_shared<std::promise<Result<T>>>();
  auto value = std::make_shared<std::optional<T>>();
  auto future = promise->get_future();
  const Cancellable subscription =
      request.subscribe([value](T answer) { *value = std::move(answer); },
                        [promise, value](const std::optional<Error>& error) {
                          if (error) {
                            promise->set_value(*error);
                          } else {
                            promise->set_value(std::move(**value));
                          }
                        });
  return future.get();
}

Result<std::string> encode(const Outbox::Report& report) {
  auto feedback = report.feedback.toJson();
  if (!feedback) {
    return feedback.error();
  }
  json attachments = json::array();
  for (const auto& attachment : report.attachments) {
    attachments.push_back({{"fileId", attachment.fileId},
                           {"fileExtension", attachment.fileExtension},
                           {"data", base64Encode(attachment.data.view())}});
  }
  try {
    return json{{"version", kFormatVersion},
                {"feedback", json::parse(feedback.value())},
                {"attachments", std::move(attachments)}}
        .dump();
  } catch (const json::exception& error) {
    return Error(Error::Kind::encoding, error.what());
  }
}

Result<Outbox::Report> decode(std::string_view text) {
  try {
    const json document = json::parse(text);
    if (document.at("version").get<int>() != kFormatVersion) {
      return Error(Error::Kind::decoding, "unknown format version");
    }
    auto feedback = Feedback::fromJson(document.at("feedback").dump());
    if (!feedback) {
      return feedback.error();
    }
    Outbox::Report report{std::move(feedback).value(), {}};
    for (const auto& attachment : document.at("attachments")) {
      auto data = base64Decode(attachment.at("data").get<std::string>());
      if (!data) {
        return Error(Error::Kind::decoding, "an attachment is not valid Base64");
      }
      report.attachments.push_back({attachment.at("fileId").get<std::string>(),
                                    attachment.at("fileExtension").get<std::string>(),
                                    Bytes(std::move(*data))});
    }
    return report;
  } catch (const json::exception& error) {
    return Error(Error::Kind::decoding, error.what());
  }
}

}  // namespace

std::string Outbox::defaultDirectory() {
  return FileSystem::stateDirectory() + "/tessaline/outbox";
}

Outbox::Outbox(std::string directory) : Outbox(std::move(directory), Limits{}) {}

Outbox::Outbox(std::string directory, Limits limits)
    : directory_(std::move(directory)),
      limits_(limits),
      log_(std::make_unique<platform::Logger>(std::string(platform::kLogSubsystem), "Outbox")),
      queue_(
          std::make_unique<platform::SerialQueue>("Outbox", platform::QualityOfService::utility)) {}

Outbox::~Outbox() {
  queue_.reset();  // waits for a flush that is running
}

std::vector<Outbox::Entry> Outbox::entries() const {
  std::vector<Entry> found;
  static_cast<void>(FileSystem::enumerate(directory_, [&](const FileSystem::Entry& entry) {
    const std::string_view name = entry.name;
    // Only the folder's own files; ".tmp-" files are writes a crash interrupted.
    if (entry.isDirectory || name.starts_with('.') || !name.ends_with(kSuffix) ||
        entry.path != directory_ + "/" + entry.name) {
      return;
    }
    const auto size = platform::fileSizeOfItem(entry.path);
    found.push_back(
        {entry.path, size && size.value() ? static_cast<std::uint64_t>(*size.value()) : 0});
  }));
  // Names start with the time of the first store, zero-padded: name order is queue order.
  std::sort(found.begin(), found.end(),
            [](const Entry& a, const Entry& b) { return a.path < b.path; });
  return found;
}

void Outbox::removeAbandonedWrites() const {
  // A write still running has a young temporary file; an old one lost its writer to a crash.
  const auto cutoff = Clock::now() - std::chrono::hours(1);
  std::vector<std::string> abandoned;
  static_cast<void>(FileSystem::enumerate(directory_, [&](const FileSystem::Entry& entry) {
    if (entry.name.starts_with(".tmp-") && entry.path == directory_ + "/" + entry.name) {
      const auto created = FileSystem::creationDate(entry.path);
      if (created && *created < cutoff) {
        abandoned.push_back(entry.path);
      }
    }
  }));
  for (const auto& path : abandoned) {
    static_cast<void>(platform::AtomicFile::remove(path));
  }
}

std::optional<std::string> Outbox::pathOf(const Uuid& localId) const {
  const std::string tail = "-" + localId.uuidString() + std::string(kSuffix);
  for (const auto& entry : entries()) {
    if (entry.path.ends_with(tail)) {
      return entry.path;
    }
  }
  return std::nullopt;
}

Result<Unit> Outbox::store(const Report& report) {
  auto text = encode(report);
  if (!text) {
    return text.error();
  }
  if (text->size() > limits_.maxBytes) {
    return Error(Error::Kind::fileSystem, "The report is too large to keep for later (" +
                                              std::to_string(text->size()) + " bytes)");
  }
  if (auto made = platform::AtomicFile::createPrivateDirectory(directory_); !made) {
    return made;
  }
  const auto nanoseconds =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  std::array<char, 32> stamp{};
  std::snprintf(stamp.data(), stamp.size(), "%020lld", static_cast<long long>(nanoseconds));
  const std::string path =
      pathOf(report.feedback.localId)
          .value_or(directory_ + "/" + stamp.data() + "-" + report.feedback.localId.uuidString() +
                    std::string(kSuffix));
  if (auto written = platform::AtomicFile::write(path, text.value()); !written) {
    return written;
  }

  const auto kept = entries();
  std::size_t count = kept.size();
  std::uint64_t bytes = 0;
  for (const auto& entry : kept) {
    bytes += entry.size;
  }
  for (const auto& entry : kept) {
    if (count <= limits_.maxReports && bytes <= limits_.maxBytes) {
      break;
    }
    if (entry.path == path) {  // a report kept again keeps its place in the queue
      continue;
    }
    log_->error("The outbox is full: dropped the oldest kept report %{public}@",
                fileName(entry.path));
    static_cast<void>(platform::AtomicFile::remove(entry.path));
    --count;
    bytes -= entry.size;
  }
  return Unit{};
}

std::vector<Outbox::Report> Outbox::pending() const {
  std::vector<Report> reports;
  for (const auto& entry : entries()) {
    auto contents = FileSystem::readFile(entry.path);
    auto report = contents ? decode(contents->view()) : Result<Report>(contents.error());
    if (!report) {
      log_->error("Cannot read the kept report %{public}@: %{public}@", fileName(entry.path),
                  report.error().description());
      continue;
    }
    reports.push_back(std::move(report).value());
  }
  return reports;
}

Result<Unit> Outbox::remove(const Uuid& localId) {
  if (const auto path = pathOf(localId)) {
    return platform::AtomicFile::remove(*path);
  }
  return Unit{};
}

void Outbox::flush(std::shared_ptr<FeedbackAPIClient> client,
                   std::function<void(FlushResult)> completion) {
  queue_->async([this, client = std::move(client), completion = std::move(completion)] {
    FlushResult result = flushNow(*client);
    platform::MainQueue::async([completion, result = std::move(result)] {
      if (completion) {
        completion(result);
      }
    });
  });
}

Outbox::FlushResult Outbox::flushNow(FeedbackAPIClient& client) {
  FlushResult result;
  {
    std::lock_guard lock(mutex_);
    if (notBefore_ && Clock::now() < *notBefore_) {
      result.remaining = static_cast<int>(pending().size());
      result.error = Error(Error::Kind::transport, "The service asked to wait before sending");
      result.notBefore = notBefore_;
      return result;
    }
  }
  removeAbandonedWrites();
  auto reports = pending();
  auto failed = [&](const Error& error, std::size_t index) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    ++failures_;
    auto wait = kFirstBackoff * (1 << std::min(failures_ - 1, 7));
    notBefore_ = now + std::min<std::chrono::seconds>(wait, kMaxBackoff);
    if (error.httpStatus() == 429 || error.httpStatus() == 503) {
      if (auto asked = parseRetryAfter(error.retryAfter(), now)) {
        notBefore_ = std::min(*asked, now + kMaxRetryAfter);
      }
    }
    log_->error("Sending the kept reports stopped: %{public}@", error.description());
    result.error = error;
    result.notBefore = notBefore_;
    result.remaining = static_cast<int>(reports.size() - index);
  };

  for (std::size_t index = 0; index < reports.size(); ++index) {
    const Report& report = reports[index];
    std::vector<FeedbackReportRequest::Attachment> uploaded;
    for (const auto& attachment : report.attachments) {
      auto answer = await(client.postAttachment(report.feedback, attachment.fileId,
                                                attachment.fileExtension, attachment.data));
      if (answer) {
        uploaded.push_back({answer->attachmentId, answer->name});
      } else if (isTransportFailure(answer.error())) {
        failed(answer.error(), index);
        return result;
      } else {
        log_->error("The service refused the attachment %{public}@ of a kept report: %{public}@",
                    attachment.fileId, answer.error().description());
      }
    }
    auto answer = await(client.postReport(report.feedback, uploaded));
    if (!answer && isTransportFailure(answer.error())) {
      failed(answer.error(), index);
      return result;
    }
    if (answer) {
      log_->log("Sent the kept report %{public}@ as %{public}@",
                report.feedback.localId.uuidString(), answer->id);
      ++result.sent;
    } else {
      log_->error("The service refused the kept report %{public}@: %{public}@",
                  report.feedback.localId.uuidString(), answer.error().description());
      ++result.dropped;
    }
    if (auto removed = remove(report.feedback.localId); !removed) {
      log_->error("Cannot remove the kept report: %{public}@", removed.error().description());
    }
  }
  std::lock_guard lock(mutex_);
  failures_ = 0;
  notBefore_.reset();
  return result;
}

bool Outbox::isTransportFailure(const Error& error) {
  const long status = error.httpStatus();
  return error.kind() == Error::Kind::transport ||
         (error.kind() == Error::Kind::decoding && (status == 429 || status >= 500));
}

std::optional<Outbox::Clock::time_point> Outbox::parseRetryAfter(std::string_view value,
                                                                 Clock::time_point now) {
  if (value.empty()) {
    return std::nullopt;
  }
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (value.size() > 9) {
      return now + kMaxRetryAfter;
    }
    return now + std::chrono::seconds(std::stoll(std::string(value)));
  }
  // An HTTP date: "Sun, 06 Nov 1994 08:49:37 GMT".
  static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::string text(value);
  std::array<char, 4> weekday{};
  std::array<char, 4> monthName{};
  int day = 0;
  int year = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d GMT%n", weekday.data(),
                  &day, monthName.data(), &year, &hour, &minute, &second, &consumed) != 7 ||
      static_cast<std::size_t>(consumed) != text.size()) {
    return std::nullopt;
  }
  const auto month = std::find_if(kMonths.begin(), kMonths.end(), [&](const char* name) {
    return std::strcmp(name, monthName.data()) == 0;
  });
  using namespace std::chrono;
  const year_month_day date{std::chrono::year(year),
                            std::chrono::month(static_cast<unsigned>(month - kMonths.begin() + 1)),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (month == kMonths.end() || !date.ok() || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  return std::max(now, time_point_cast<Clock::duration>(sys_days(date) + hours(hour) +
                                                        minutes(minute) + seconds(second)));
}

}  // namespace tessaline
