// Stands in for the log tool in the capture benchmark: writes the number of numbered lines given
// by TESSALINE_BENCH_LINES as fast as it can, creates the file TESSALINE_BENCH_DONE when all are
// written, then waits for SIGTERM like the real tool.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

volatile sig_atomic_t terminated = 0;

void onTerminate(int) {
  terminated = 1;
}

bool writeAll(const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(1, data.data() + done, data.size() - done);
    if (n < 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main() {
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  sigprocmask(SIG_BLOCK, &term, nullptr);
  struct sigaction action {};
  action.sa_handler = onTerminate;
  sigaction(SIGTERM, &action, nullptr);

  const char* count = std::getenv("TESSALINE_BENCH_LINES");
  const long lines = count ? std::strtol(count, nullptr, 10) : 200000;
  std::string chunk;
  char line[160];
  for (long i = 0; i < lines; ++i) {
    std::snprintf(line, sizeof line,
                  "2024-05-01 10:15:23.456 Df Pairloom[1234:1240] [brisquet.OrvCore:Audio] "
                  "capture line %08ld\n",
                  i);
    chunk += line;
    if (chunk.size() >= 64 * 1024) {
      if (!writeAll(chunk)) {
        return 1;
      }
      chunk.clear();
    }
  }
  if (!writeAll(chunk)) {
    return 1;
  }
  if (const char* done = std::getenv("TESSALINE_BENCH_DONE")) {
    const int fd = ::open(done, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
    }
  }
  sigset_t none;
  sigemptyset(&none);
  while (terminated == 0) {
    sigsuspend(&none);
  }
  return 0;
}
