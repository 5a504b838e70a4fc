// tessaline-log: the Linux stand-in for the macOS `log` tool, as far as the log capture uses it:
//
//   tessaline-log stream --color none --level debug --style compact --predicate P
//
// follows the system journal from the moment it starts and prints every entry that passes the
// level and the predicate, one line each in the compact style, until SIGTERM (or SIGINT, SIGHUP).
// On a stop it first catches up with the journal as it was at that moment (at most 2 s): the
// lines logged just before "Done" are the ones that show the problem. Where the system journal
// cannot be read it says so, and why, in its first lines (and on standard error), still runs
// until it is told to stop, and then exits with status 69.

#include <tools/log/LogStream.h>
#include <tools/log/Predicate.h>

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <systemd/sd-id128.h>
#include <systemd/sd-journal.h>
#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
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

constexpr int kJournalUnreadable = 69;
constexpr std::uint64_t kCatchUpLimitUsec = 2000000;
// The field that marks the entry this tool logs at a stop; it is never printed.
constexpr const char* kStopMarkerField = "TESSALINE_LOG_STOP_MARKER";

std::uint64_t monotonicUsec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

// Why the system journal cannot be read, if it cannot: its files must be there and readable.
std::optional<std::string> systemJournalProblem() {
  sd_id128_t machine{};
  char id[SD_ID128_STRING_MAX];
  if (const int rc = sd_id128_get_machine(&machine); rc < 0) {
    return std::string("no machine id: ") + std::strerror(-rc);
  }
  std::optional<std::string> denied;
  for (const char* root : {"/run/log/journal/", "/var/log/journal/"}) {
    const std::string path =
        root + std::string(sd_id128_to_string(machine, id)) + "/system.journal";
    if (::access(path.c_str(), R_OK) == 0) {
      return std::nullopt;
    }
    if (errno != ENOENT) {
      denied = path + ": " + std::strerror(errno) +
               " (members of the systemd-journal or adm group may read it)";
    }
  }
  return denied ? *denied : std::string("no system journal files; is systemd-journald running?");
}

struct JournalCloser {
  void operator()(sd_journal* journal) const { sd_journal_close(journal); }
};
using Journal = std::unique_ptr<sd_journal, JournalCloser>;

// Prints the entries that have arrived; false once the stop marker `marker` was read.
bool printNewEntries(sd_journal* journal, LogStream& stream, const std::string& marker) {
  static bool reportedError = false;
  int rc = 0;
  while ((rc = sd_journal_next(journal)) > 0) {
    if (!marker.empty() && field(journal, kStopMarkerField) == marker) {
      return false;
    }
    stream.add(readEntry(journal));
  }
  std::fflush(stdout);
  if (rc < 0 && !reportedError) {
    reportedError = true;
    std::fprintf(stderr, "tessaline-log: reading the journal failed: %s\n", std::strerror(-rc));
  }
  return true;
}

// Waits for the journal to change, for a stop signal, or until `deadlineUsec` (monotonic); true
// when a stop signal is pending.
bool waitForChange(sd_journal* journal, int journalFd, int signalFd, std::uint64_t deadlineUsec) {
  std::uint64_t timeoutUsec = UINT64_MAX;
  sd_journal_get_timeout(journal, &timeoutUsec);
  timeoutUsec = std::min(timeoutUsec, deadlineUsec);
  int timeoutMs = -1;
  if (timeoutUsec != UINT64_MAX) {
    const std::uint64_t nowUsec = monotonicUsec();
    timeoutMs = timeoutUsec <= nowUsec ? 0 : static_cast<int>((timeoutUsec - nowUsec + 999) / 1000);
  }
  pollfd fds[2] = {
      {journalFd, static_cast<short>(sd_journal_get_events(journal)), 0},
      {signalFd, POLLIN, 0},
  };
  if (::poll(fds, signalFd >= 0 ? 2 : 1, timeoutMs) < 0 && errno != EINTR) {
    if (signalFd >= 0) {
      waitForStop(signalFd);  // the journal cannot be followed: keep what was printed until then
    }
    return true;
  }
  sd_journal_process(journal);
  return signalFd >= 0 && fds[1].revents != 0;
}

// At a stop: logs a marker entry and prints everything before it, so the entries that were
// logged before the stop but not yet read are not lost; gives up after kCatchUpLimitUsec.
void catchUp(sd_journal* journal, int journalFd, LogStream& stream) {
  const std::string marker = std::to_string(::getpid()) + "-" + std::to_string(monotonicUsec());
  const bool marked = sd_journal_send("MESSAGE=tessaline-log: capture stopped", "PRIORITY=7",
                                      "SYSLOG_IDENTIFIER=tessaline-log",
                                      "TESSALINE_LOG_STOP_MARKER=%s", marker.c_str(), nullptr) >= 0;
  const std::uint64_t deadline = monotonicUsec() + kCatchUpLimitUsec;
  sd_journal_process(journal);
  // Without a marker, what the journal holds now is all there is to catch up with.
  while (printNewEntries(journal, stream, marked ? marker : std::string()) && marked &&
         monotonicUsec() < deadline) {
    waitForChange(journal, journalFd, -1, deadline);
  }
}

void followJournal(LogStream& stream, int signalFd, std::uint64_t startUsec) {
  sd_journal* opened = nullptr;
  if (const int rc = sd_journal_open(&opened, SD_JOURNAL_LOCAL_ONLY); rc < 0) {
    std::fprintf(stderr, "tessaline-log: cannot open the journal: %s\n", std::strerror(-rc));
    return waitForStop(signalFd);
  }
  Journal journal(opened);
  // Everything logged since this tool started belongs to the capture.
  sd_journal_seek_realtime_usec(journal.get(), startUsec);
  const int journalFd = sd_journal_get_fd(journal.get());
  if (journalFd < 0) {
    std::fprintf(stderr, "tessaline-log: cannot follow the journal: %s\n",
                 std::strerror(-journalFd));
    return waitForStop(signalFd);
  }
  for (;;) {
    printNewEntries(journal.get(), stream, {});
    if (waitForChange(journal.get(), journalFd, signalFd, UINT64_MAX)) {
      return catchUp(journal.get(), journalFd, stream);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  timespec started{};
  clock_gettime(CLOCK_REALTIME, &started);
  const std::uint64_t startUsec = static_cast<std::uint64_t>(started.tv_sec) * 1000000u +
                                  static_cast<std::uint64_t>(started.tv_nsec) / 1000u;
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
  const auto problem = systemJournalProblem();
  if (problem) {
    // First in the capture, so whoever reads the report sees why it holds nothing.
    std::printf("tessaline-log: cannot read the system journal: %s\n", problem->c_str());
    std::fprintf(stderr, "tessaline-log: cannot read the system journal: %s\n", problem->c_str());
  }
  stream.begin(predicateText);
  std::fflush(stdout);

  if (problem) {
    waitForStop(signalFd);
  } else {
    followJournal(stream, signalFd, startUsec);
  }
  std::fflush(stdout);
  return problem ? kJournalUnreadable : 0;
}
