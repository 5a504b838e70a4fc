#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace tessaline::detail {

// Adds up the bytes sent by one upload pass's attachments, which the HTTP thread reports many
// times a second, and hands the sum to the main queue at most once per kInterval, plus the final
// value at close(). Each attachment's count only grows (a request sent once more restarts from
// zero), so the published sums only grow.
class UploadMeter : public std::enable_shared_from_this<UploadMeter> {
 public:
  static constexpr std::chrono::milliseconds kInterval{50};
  // Runs on the main queue with the bytes sent and the bytes to send.
  using Publish = std::function<void(std::uint64_t sent, std::uint64_t total)>;

  explicit UploadMeter(Publish publish) : publish_(std::move(publish)) {}

  // Main thread, before the uploads start: an attachment of `size` bytes; its index.
  std::size_t add(std::uint64_t size);
  std::uint64_t total() const;
  // Any thread: the attachment has sent `sent` bytes.
  void update(std::size_t index, std::uint64_t sent);
  // Main thread: the attachment's upload has ended, sent or not; it counts in full.
  void finish(std::size_t index);
  // Main thread: publishes the final sum at once; nothing is published after it.
  void close();

 private:
  void scheduleLocked(std::unique_lock<std::mutex>& lock);
  void publishNow();

  const Publish publish_;
  mutable std::mutex mutex_;
  std::vector<std::uint64_t> sent_;
  std::vector<std::uint64_t> sizes_;
  bool scheduled_ = false;
  bool closed_ = false;
  std::chrono::steady_clock::time_point lastPublished_;
};

}  // namespace tessaline::detail
