#include <Tessaline/form/detail/UploadMeter.h>

#include <platform/MainQueue.h>

#include <algorithm>
#include <numeric>

namespace tessaline::detail {

std::size_t UploadMeter::add(std::uint64_t size) {
  std::lock_guard lock(mutex_);
  sent_.push_back(0);
  sizes_.push_back(size);
  return sizes_.size() - 1;
}

std::uint64_t UploadMeter::total() const {
  std::lock_guard lock(mutex_);
  return std::accumulate(sizes_.begin(), sizes_.end(), std::uint64_t{0});
}

void UploadMeter::update(std::size_t index, std::uint64_t sent) {
  std::unique_lock lock(mutex_);
  if (index >= sent_.size() || sent <= sent_[index]) {
    return;
  }
  sent_[index] = std::min(sent, sizes_[index]);
  scheduleLocked(lock);
}

void UploadMeter::finish(std::size_t index) {
  std::uint64_t size = 0;
  {
    std::lock_guard lock(mutex_);
    if (index < sizes_.size()) {
      size = sizes_[index];
    }
  }
  update(index, size);
}

void UploadMeter::close() {
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      return;
    }
    closed_ = true;
  }
  const auto total = this->total();
  publish_(total, total);
}

void UploadMeter::scheduleLocked(std::unique_lock<std::mutex>& lock) {
  if (scheduled_ || closed_) {
    return;
  }
  scheduled_ = true;
  const auto wait = lastPublished_ + kInterval - std::chrono::steady_clock::now();
  lock.unlock();
  auto task = [weak = weak_from_this()] {
    if (auto self = weak.lock()) {
      self->publishNow();
    }
  };
  if (wait > std::chrono::steady_clock::duration::zero()) {
    platform::MainQueue::asyncAfter(wait, std::move(task));
  } else {
    platform::MainQueue::async(std::move(task));
  }
}

void UploadMeter::publishNow() {
  std::uint64_t sent = 0;
  std::uint64_t total = 0;
  {
    std::lock_guard lock(mutex_);
    scheduled_ = false;
    if (closed_) {
      return;
    }
    lastPublished_ = std::chrono::steady_clock::now();
    sent = std::accumulate(sent_.begin(), sent_.end(), std::uint64_t{0});
    total = std::accumulate(sizes_.begin(), sizes_.end(), std::uint64_t{0});
  }
  publish_(sent, total);
}

}  // namespace tessaline::detail
