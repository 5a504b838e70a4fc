#pragma once

#include <Tessaline/Bytes.h>
#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/records/Feedback.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

class FeedbackAPIClient;
namespace platform {
class Logger;
class SerialQueue;
}  // namespace platform

// Reports that could not reach the service, kept on disk until a later flush() sends them. One
// file per report in a private folder (0700), each written whole or not at all, so a crash or a
// power loss leaves every report complete or absent. Held in a std::shared_ptr by the host, which
// hands it to the form models that should use it.
class TESSALINE_EXPORT Outbox {
 public:
  using Clock = std::chrono::system_clock;

  struct Limits {
    std::size_t maxReports = 20;
    std::uint64_t maxBytes = 256ull << 20;  // the report files together
  };

  struct Attachment {
    std::string fileId;
    std::string fileExtension;
    Bytes data;
  };

  // The report as it was to be posted (the first message already carries the environment
  // summary), with every attachment's bytes.
  struct Report {
    Feedback feedback;
    std::vector<Attachment> attachments;
  };

  struct FlushResult {
    int sent = 0;       // reports the service accepted in this flush
    int dropped = 0;    // reports the service answered with a refusal; they are not kept
    int remaining = 0;  // reports still queued
    // Set when the flush stopped at a transport failure (or did not start because of an earlier
    // one): the error, and the time before which another flush sends nothing.
    std::optional<Error> error;
    std::optional<Clock::time_point> notBefore;
  };

  // "$XDG_STATE_HOME/tessaline/outbox", or "~/.local/state/tessaline/outbox" when unset.
  static std::string defaultDirectory();

  explicit Outbox(std::string directory = defaultDirectory());
  Outbox(std::string directory, Limits limits);
  ~Outbox();
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  const std::string& directory() const { return directory_; }

  // Keeps a report; a report with the same localId already kept is replaced in its place. Past
  // the limits the oldest reports are dropped, each with an error log line; a report larger than
  // maxBytes on its own is refused.
  Result<Unit> store(const Report& report);
  // The kept reports, oldest first. Files that cannot be read or decoded are skipped with an
  // error log line and left for a person to look at.
  std::vector<Report> pending() const;
  // Forgets the report with this localId; nothing when there is none.
  Result<Unit> remove(const Uuid& localId);

  // Sends the kept reports in order, uploads first, on the outbox's own queue, and calls the
  // completion on the main queue. A report is removed only once the service has answered it: an
  // accepted one, and one the service refused (logged). A transport failure (no connection, a
  // time-out, or a 429/5xx status without a valid answer) ends the flush; later flushes do
  // nothing until its "Retry-After" has passed (429 and 503), or else a backoff that doubles
  // from 30 s up to one hour.
  void flush(std::shared_ptr<FeedbackAPIClient> client,
             std::function<void(FlushResult)> completion);

  // The errors a report is kept for: transport failures, and 429 or 5xx answers that did not
  // decode.
  static bool isTransportFailure(const Error& error);
  // The time a "Retry-After" value (delta-seconds or an HTTP date) names; nothing when invalid.
  static std::optional<Clock::time_point> parseRetryAfter(std::string_view value,
                                                          Clock::time_point now);

 private:
  struct Entry {
    std::string path;
    std::uint64_t size = 0;
  };
  std::vector<Entry> entries() const;
  std::optional<std::string> pathOf(const Uuid& localId) const;
  void removeAbandonedWrites() const;
  FlushResult flushNow(FeedbackAPIClient& client);

  std::string directory_;
  Limits limits_;
  std::unique_ptr<platform::Logger> log_;
  std::mutex mutex_;  // guards the backoff
  int failures_ = 0;
  std::optional<Clock::time_point> notBefore_;
  std::unique_ptr<platform::SerialQueue> queue_;
};

}  // namespace tessaline
