// tessaline-log: the Linux stand-in for the macOS `log` tool, as far as the log capture uses it:
//
//   tessaline-log stream --color none --level debug --style compact --predicate P
//
// follows the system journal from now on and prints every entry that passes the level and the
// predicate, one line each in the compact style, until SIGTERM (or SIGINT, SIGHUP); it flushes
// what it printed before it exits. Where no journal can be read it says so once on standard error
// and still runs until it is told to stop, so a capture ends normally with nothing in it.

#include <tools/log/LogStream.h>
#include <tools/log/Predicate.h>

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <systemd/sd-journal.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

using namespace tessaline::tools::log;

// Waits for a stop signal; the signals are blocked and read through a signalfd, so no handler
// runs at an awkward moment.
void waitForStop(int signalFd) {
  for (;;) {
    pollfd fd{signalFd, POLLIN, 0};
    if (::poll(&fd, 1, -1) > 0 || errno != EINTR) {
      return;
    }
  }
}

std::string field(sd_journal* journal, const char* name) {
  const void* data = nullptr;
  std::size_t length = 0;
  if (sd_journal_get_data(journal, name, &data, &length) < 0) {
    return {};
  }
  const std::size_t prefix = std::strlen(name) + 1;  // "NAME="
  if (length < prefix) {
    return {};
  }
  return std::string(static_cast<const char*>(data) + prefix, length - prefix);
}

LogEntry readEntry(sd_journal* journal) {
  std::map<std::string, std::string, std::less<>> fields;
  for (const char* name : {"PRIORITY", "_COMM", "SYSLOG_IDENTIFIER", "_PID", "TID",
                           "TESSALINE_SUBSYSTEM", "TESSALINE_CATEGORY", "MESSAGE"}) {
    if (auto value = field(journal, name); !value.empty()) {
      fields[name] = std::move(value);
    }
  }
  std::uint64_t micros = 0;
  if (sd_journal_get_realtime_usec(journal, &micros) >= 0) {
    fields["__REALTIME_TIMESTAMP"] = std::to_string(micros);
  }
  return entryFromFields(fields);
}

void cannotRead(const char* why) {
  std::fprintf(stderr,
               "tessaline-log: cannot read the system journal (%s); waiting until stopped\n", why);
}

struct JournalCloser {
  void operator()(sd_journal* journal) const { sd_journal_close(journal); }
};

void followJournal(LogStream& stream, int signalFd) {
  sd_journal* opened = nullptr;
  if (const int rc = sd_journal_open(&opened, SD_JOURNAL_LOCAL_ONLY); rc < 0) {
    cannotRead(std::strerror(-rc));
    return waitForStop(signalFd);
  }
  std::unique_ptr<sd_journal, JournalCloser> journal(opened);
  std::uint64_t usage = 0;
  if (sd_journal_get_usage(journal.get(), &usage) >= 0 && usage == 0) {
    // Keep following: journal files may still appear.
    cannotRead("no journal files");
  }
  sd_journal_seek_tail(journal.get());
  sd_journal_previous(journal.get());  // the entries after the current last one are new
  const int journalFd = sd_journal_get_fd(journal.get());
  if (journalFd < 0) {
    cannotRead(std::strerror(-journalFd));
    return waitForStop(signalFd);
  }

  bool reportedError = false;
  for (;;) {
    int rc = 0;
    while ((rc = sd_journal_next(journal.get())) > 0) {
      stream.add(readEntry(journal.get()));
    }
    std::fflush(stdout);
    if (rc < 0 && !reportedError) {
      reportedError = true;
      std::fprintf(stderr, "tessaline-log: reading the journal failed: %s\n", std::strerror(-rc));
    }

    std::uint64_t timeoutUsec = UINT64_MAX;
    sd_journal_get_timeout(journal.get(), &timeoutUsec);
    int timeoutMs = -1;
    if (timeoutUsec != UINT64_MAX) {
      timespec now{};
      clock_gettime(CLOCK_MONOTONIC, &now);
      const std::uint64_t nowUsec = static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                    static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
      timeoutMs =
          timeoutUsec <= nowUsec ? 0 : static_cast<int>((timeoutUsec - nowUsec + 999) / 1000);
    }
    pollfd fds[2] = {
        {journalFd, static_cast<short>(sd_journal_get_events(journal.get())), 0},
        {signalFd, POLLIN, 0},
    };
    if (::poll(fds, 2, timeoutMs) < 0 && errno != EINTR) {
      return waitForStop(signalFd);
    }
    if (fds[1].revents != 0) {
      return;
    }
    sd_journal_process(journal.get());
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Block the stop signals first, so one that arrives early still ends the stream cleanly.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);

  CLI::App app{"Streams the system journal like the macOS log tool", "tessaline-log"};
  app.require_subcommand(1);
  auto* streamCommand = app.add_subcommand("stream", "Prints log entries as they arrive");
  std::string color = "auto";
  std::string level = "default";
  std::string style = "compact";
  std::string predicateText;
  streamCommand->add_option("--color", color, "Colour mode (never used)")
      ->check(CLI::IsMember({"none", "auto", "always"}));
  streamCommand->add_option("--level", level, "Lowest level shown")
      ->check(CLI::IsMember({"default", "info", "debug"}));
  streamCommand->add_option("--style", style, "Output style")->check(CLI::IsMember({"compact"}));
  streamCommand->add_option("--predicate", predicateText, "Filter for the entries");
  CLI11_PARSE(app, argc, argv);

  if (signalFd < 0) {
    std::fprintf(stderr, "tessaline-log: cannot watch for signals: %s\n", std::strerror(errno));
    return 1;
  }

  auto parsed = Predicate::parse(predicateText.empty() ? "TRUEPREDICATE" : predicateText);
  if (auto* error = std::get_if<Predicate::ParseError>(&parsed)) {
    std::fprintf(stderr, "tessaline-log: invalid predicate: %s\n", error->message.c_str());
    return 64;
  }

  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  LogStream stream(std::get<Predicate>(std::move(parsed)), *priorityThreshold(level),
                   [](std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); });
  stream.begin(predicateText);
  std::fflush(stdout);

  followJournal(stream, signalFd);
  std::fflush(stdout);
  return 0;
}
