#pragma once

#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace tessaline::demo {

// Reads standard input on a thread of its own, so the main queue never waits for the user. Every
// complete line (without its line break) is handed to the callback as a main-queue task; the end
// of the input is handed over as nothing, once. Destroying the reader wakes and joins its thread.
// Throws std::system_error when it cannot be set up.
class LineReader {
 public:
  using Callback = std::function<void(std::optional<std::string>)>;

  explicit LineReader(Callback callback);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

 private:
  void loop();

  Callback callback_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::thread thread_;
};

}  // namespace tessaline::demo
