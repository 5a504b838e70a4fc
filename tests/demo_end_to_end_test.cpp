// tessaline-demo against the real tessaline-service, over plain HTTP on loopback and over HTTPS
// with the test CA; what the service stored is read back through its export command.

#include "support/ChildProcess.h"
#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

#include <Tessaline/diagnostics/CollectCrashReportsStep.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// Without a demo in the build there is nothing to run (the tests skip).
#ifndef TESSALINE_DEMO_BINARY
#define TESSALINE_DEMO_BINARY ""
#define TESSALINE_TEST_CERT_DIR ""
#endif

namespace tessaline {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::CommandResult;
using testing::runCommand;
using testing::ServiceProcess;
using testing::TemporaryDirectory;
namespace fs = std::filesystem;

constexpr const char* kCrashReportName = "Pairloom_2024-05-01-101500_test-host.ips";
constexpr const char* kMessage = "Playback stops after a few seconds when the project is large.";
constexpr const char* kOutdatedMessage =
    "This version of the app is too old, please update the app before submitting your feedback.";

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every byte value, a few times over, so a text conversion anywhere would show.
std::string binaryContent() {
  std::string bytes;
  for (int round = 0; round < 40; ++round) {
    for (int value = 0; value < 256; ++value) {
      bytes.push_back(static_cast<char>((value + round) % 256));
    }
  }
  return bytes;
}

// The labels of the environment summary, in their order.
void expectEndsWithEnvironmentSummary(const std::string& body, const std::string& typed) {
  ASSERT_EQ(body.rfind(typed + "\n\nOperating System: ", 0), 0u) << body;
  std::size_t position = typed.size();
  for (const char* label : {"\n\nOperating System: ", "\nApplication Version: 2.4.1 (310)\n",
                            "\nHardware: ", "\nThermal State: ", "\nUptime: ",
                            "\nProcessor Count: ", "\nMemory: ", "\nScreens: ", "\nLocale: "}) {
    const std::size_t found = body.find(label, position);
    ASSERT_NE(found, std::string::npos) << "missing \"" << label << "\" in\n" << body;
    position = found + 1;
  }
  EXPECT_EQ(body.substr(body.size() - 3), "\n\n?") << body;
}

class DemoEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(TESSALINE_DEMO_BINARY).empty()) {
      GTEST_SKIP() << "the build has no tessaline-demo";
    }
    fs::create_directories(home() / "Library/Logs/DiagnosticReports");
    fs::create_directories(directory_.path() / "tmp");
    crashReport_ =
        "{\"app_name\":\"Pairloom\",\"bug_type\":\"309\"}\n{\"exception\":\"SIGSEGV\"}\n";
    directory_.write("home/Library/Logs/DiagnosticReports/" + std::string(kCrashReportName),
                     crashReport_);
    appLog_ = "2024-05-01T10:15:00Z error mixer: render thread stopped responding\n";
    logFile_ = directory_.write("logs/app.log", appLog_);
    attachment_ = directory_.write("attachment.bin", binaryContent());
  }

  fs::path home() const { return directory_.path() / "home"; }
  fs::path data() const { return directory_.path() / "data"; }

  void startService(bool tls, const std::string& config = testing::kSampleConfig) {
    std::vector<std::string> arguments{"--port",        "0",        "--data",
                                       data().string(), "--config", config};
    if (tls) {
      arguments.insert(arguments.end(),
                       {"--cert", std::string(TESSALINE_TEST_CERT_DIR) + "/server.pem", "--key",
                        std::string(TESSALINE_TEST_CERT_DIR) + "/server-key.pem"});
    }
    std::string failure;
    service_ = ServiceProcess::start(arguments, &failure);
    ASSERT_NE(service_, nullptr) << failure;
    serviceURL_ = std::string(tls ? "https" : "http") +
                  "://127.0.0.1:" + std::to_string(service_->port()) + "/v1";
  }

  ChildProcess::Options demoEnvironment(const std::string& serviceURL) const {
    ChildProcess::Options options;
    options.environment = {{"TESSALINE_SERVICE_URL", serviceURL},
                           {"SSL_CERT_FILE", testing::TestServer::certificateAuthorityFile()},
                           {"HOME", home().string()},
                           {"TMPDIR", (directory_.path() / "tmp").string()},
                           {"XDG_CONFIG_HOME", (directory_.path() / "config").string()}};
    return options;
  }

  CommandResult runDemo(const std::vector<std::string>& arguments) const {
    return runDemoAt(serviceURL_, arguments);
  }

  CommandResult runDemoAt(const std::string& serviceURL,
                          const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{TESSALINE_DEMO_BINARY};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runCommand(command, demoEnvironment(serviceURL), 180s);
  }

  // The arguments of a report with every diagnostic (reason 1 requires all three) and one file.
  std::vector<std::string> fullReport() const {
    return {"--reason",
            "1",
            "--frequency",
            "2",
            "--subject",
            "Playback stops",
            "--message",
            kMessage,
            "--email",
            "user@example.com",
            "--log-file",
            logFile_.string(),
            "--attach",
            attachment_.string(),
            "--stop-capture-after",
            "2"};
  }

  static std::string reportIdIn(const std::string& output) {
    const std::string marker = "\nReport ID: ";
    const auto start = output.find(marker);
    if (start == std::string::npos) {
      return {};
    }
    const auto begin = start + marker.size();
    return output.substr(begin, output.find('\n', begin) - begin);
  }

  // The stored report as the service's export command writes it; attachments by name.
  struct Exported {
    nlohmann::json report;
    std::map<std::string, fs::path> attachments;
  };

  Exported exportReport(const std::string& id) {
    const fs::path out = directory_.path() / ("export-" + id);
    const auto result =
        testing::runServiceCommand({"export", id, out.string(), "--data", data().string()});
    Exported exported;
    EXPECT_EQ(result.exitCode, 0) << result.err;
    exported.report = nlohmann::json::parse(readFile(out / "report.json"), nullptr, false);
    if (exported.report.is_discarded()) {
      ADD_FAILURE() << "report.json is not JSON";
      return exported;
    }
    for (const auto& attachment : exported.report["attachments"]) {
      exported.attachments[attachment["name"].get<std::string>()] =
          out / attachment["file"].get<std::string>();
    }
    return exported;
  }

  std::vector<std::string> storedReports() const {
    const auto result = testing::runServiceCommand({"list", "--data", data().string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::vector<std::string> lines;
    std::istringstream in(result.out);
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    return lines;
  }

  // Checks a report sent with every diagnostic and the binary attachment.
  // A capture stopped right after it started may end before the log tool printed anything.
  void expectFullReport(const std::string& id, const std::string& typedMessage,
                        bool captureStoppedAtOnce = false) {
    const Exported exported = exportReport(id);
    ASSERT_EQ(exported.report["messages"].size(), 1u);
    expectEndsWithEnvironmentSummary(exported.report["messages"][0]["body"].get<std::string>(),
                                     typedMessage);
    std::vector<std::string> names;
    for (const auto& [name, path] : exported.attachments) {
      names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"App Logs.txt", "Crash Logs.json", "System Logs.txt",
                                               "System Profile.json", "attachment.bin"}));
    if (names.size() != 5) {
      return;
    }

    const auto profile = nlohmann::json::parse(
        readFile(exported.attachments.at("System Profile.json")), nullptr, false);
    EXPECT_FALSE(profile.is_discarded()) << "the system profile is not JSON";
    EXPECT_TRUE(profile.is_object());

    const std::string archive = exported.attachments.at("App Logs.txt").string();
    const auto tested = runCommand({"unzip", "-t", archive});
    EXPECT_EQ(tested.exitCode, 0) << tested.out << tested.err;
    const auto listed = runCommand({"unzip", "-Z1", archive});
    std::string entry;
    std::istringstream entries(listed.out);
    for (std::string line; std::getline(entries, line);) {
      if (line.size() >= 8 && line.substr(line.size() - 8) == "/app.log") {
        entry = line;
      }
    }
    ASSERT_FALSE(entry.empty()) << "the archive lacks the log file:\n" << listed.out;
    EXPECT_EQ(runCommand({"unzip", "-p", archive, entry}).out, appLog_);

    const auto crashes = CollectCrashReportsStep::Report::decodeList(
        readFile(exported.attachments.at("Crash Logs.json")));
    ASSERT_TRUE(crashes.ok()) << crashes.error().description();
    ASSERT_EQ(crashes.value().size(), 1u);
    EXPECT_EQ(crashes.value()[0].name, kCrashReportName);
    EXPECT_EQ(crashes.value()[0].payload.view(), crashReport_);

    const std::string capture = readFile(exported.attachments.at("System Logs.txt"));
    if (!captureStoppedAtOnce) {
      // After the notice of a machine whose journal cannot be read, if any.
      const bool notice = capture.starts_with("tessaline-log: cannot read the system journal");
      EXPECT_EQ(capture.find("Filtering the log data using \""),
                notice ? capture.find('\n') + 1 : 0u)
          << capture;
    }

    EXPECT_EQ(readFile(exported.attachments.at("attachment.bin")), binaryContent());
  }

  void sendsFullReport(bool tls) {
    startService(tls);
    const CommandResult result = runDemo(fullReport());
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
    const std::string id = reportIdIn(result.out);
    ASSERT_FALSE(id.empty()) << result.out;
    EXPECT_NE(result.out.find("It was assigned the ID " + id +
                              ".\nYou'll be contacted over e-mail for updates if necessary."),
              std::string::npos)
        << result.out;
    for (const char* item : {"System Profile", "System Logs", "App Logs", "Crash Logs"}) {
      EXPECT_NE(result.out.find("Diagnostics: " + std::string(item) + ": finished ("),
                std::string::npos)
          << item << "\n"
          << result.out;
    }
    EXPECT_NE(result.out.find("State: submitted"), std::string::npos) << result.out;
    expectFullReport(id, kMessage);
  }

  TemporaryDirectory directory_{"tessaline-demo-test"};
  std::unique_ptr<ServiceProcess> service_;
  std::string serviceURL_;
  std::string crashReport_;
  std::string appLog_;
  fs::path logFile_;
  fs::path attachment_;
};

TEST_F(DemoEndToEndTest, SendsEveryDiagnosticAndTheFileOverPlainHttp) {
  sendsFullReport(false);
}

TEST_F(DemoEndToEndTest, SendsEveryDiagnosticAndTheFileOverHttpsWithTheTestAuthority) {
  sendsFullReport(true);
}

TEST_F(DemoEndToEndTest, InteractiveSessionAsksForEachFieldAndEnterEndsTheCapture) {
  startService(false);
  ChildProcess::Options options = demoEnvironment(serviceURL_);
  options.terminalInput = true;
  std::string failure;
  auto demo = ChildProcess::start({TESSALINE_DEMO_BINARY, "--log-file", logFile_.string()}, options,
                                  &failure);
  ASSERT_NE(demo, nullptr) << failure;
  const auto answer = [&](const std::string& prompt, const std::string& typed) {
    ASSERT_TRUE(demo->waitForOutput(prompt, 60s)) << "no \"" << prompt << "\" in\n"
                                                  << demo->out() << demo->err();
    demo->type(typed);
  };
  answer("Reason (number): ", "7\n");  // not offered: asked again
  answer("Please give one of the reason numbers listed above.", "1\n");
  answer("How often does it happen (number): ", "3\n");
  answer("Subject: ", "Interactive subject\n");
  answer("Message (finish with an empty line):", "First line typed\nsecond line\n\n");
  answer("Your name (Enter to skip): ", "\n");
  answer("Your e-mail address (Enter to skip): ", "\n");
  answer("Attach a file (path, Enter when done): ", attachment_.string() + "\n");
  answer("Attached: ", "\n");
  answer("Collect them? [Y/n]: ", "y\n");
  answer("then press Enter (Done).", "\n");
  const int status = demo->wait(120s);
  ASSERT_EQ(status, 0) << demo->out() << demo->err();
  EXPECT_NE(demo->out().find("Diagnostics: System Logs: Done"), std::string::npos) << demo->out();
  const std::string id = reportIdIn(demo->out());
  ASSERT_FALSE(id.empty()) << demo->out();
  // Without an e-mail address the thank-you text ends at the id.
  EXPECT_NE(demo->out().find("It was assigned the ID " + id + ".\nReport ID: "), std::string::npos)
      << demo->out();
  expectFullReport(id, "First line typed\nsecond line", true);
}

TEST_F(DemoEndToEndTest, InteractiveSessionEndsAsUsageErrorWhenTheInputEnds) {
  startService(false);
  ChildProcess::Options options = demoEnvironment(serviceURL_);
  options.terminalInput = true;
  std::string failure;
  auto demo = ChildProcess::start({TESSALINE_DEMO_BINARY}, options, &failure);
  ASSERT_NE(demo, nullptr) << failure;
  ASSERT_TRUE(demo->waitForOutput("Reason (number): ", 60s)) << demo->out() << demo->err();
  demo->type("3\n\n");  // a reason that needs no frequency; the frequency is skipped
  ASSERT_TRUE(demo->waitForOutput("Subject: ", 60s)) << demo->out() << demo->err();
  demo->type("\x04");  // Ctrl-D: the end of the input
  EXPECT_EQ(demo->wait(60s), 2) << demo->out() << demo->err();
  EXPECT_NE(demo->err().find("the input ended before the form was complete"), std::string::npos)
      << demo->err();
  EXPECT_TRUE(storedReports().empty());
}

TEST_F(DemoEndToEndTest, WithoutDiagnosticsOnlyTheAcceptedFileIsSent) {
  startService(false);
  auto arguments = fullReport();
  const std::string missing = (directory_.path() / "missing.png").string();
  arguments.insert(arguments.end(), {"--attach", missing, "--no-diagnostics"});
  const CommandResult result = runDemo(arguments);
  ASSERT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_NE(result.err.find("cannot attach " + missing + ": "), std::string::npos) << result.err;
  EXPECT_EQ(result.out.find("Diagnostics: "), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find("State: diagnosis"), std::string::npos) << result.out;

  const Exported exported = exportReport(reportIdIn(result.out));
  ASSERT_EQ(exported.attachments.size(), 1u);
  EXPECT_EQ(readFile(exported.attachments.at("attachment.bin")), binaryContent());
  EXPECT_EQ(exported.report["email"], "user@example.com");
}

TEST_F(DemoEndToEndTest, BlockedOperatingSystemFailsWithTheServiceMessage) {
  // The sample configuration, with this machine's OS build (the kernel release) blocked.
  utsname system{};
  ASSERT_EQ(::uname(&system), 0);
  auto config = nlohmann::json::parse(readFile(testing::kSampleConfig));
  config["form"]["blockedOSBuilds"].push_back(
      {{"id", system.release},
       {"name", "This kernel"},
       {"message", "Reports from this kernel are closed."}});
  const fs::path configFile = directory_.write("blocking-config.json", config.dump());
  startService(false, configFile.string());

  const CommandResult result = runDemo(fullReport());
  EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
  EXPECT_NE(result.err.find("Reports from this kernel are closed."), std::string::npos)
      << result.err;
  EXPECT_TRUE(storedReports().empty());
}

TEST_F(DemoEndToEndTest, EveryOtherOutcomeHasItsExitCodeAndText) {
  startService(false);
  const std::string deadURL = "http://127.0.0.1:1/v1";  // nothing listens on port 1
  auto outdated = fullReport();
  outdated.insert(outdated.end(), {"--app-version", "0.1"});
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string output;  // expected on standard output when the exit code is 0, else on errors
    bool deadService = false;
  };
  const std::vector<Case> cases = {
      {{"--check-updates"},
       0,
       "Update available: yes\nLatest build: 320\n"
       "Message: Version 2.5 is ready: faster exports and a new mixer.\n"},
      {{"--check-updates", "--train", "beta", "--app-build", "331"},
       0,
       "Update available: no\nLatest build: 331 (beta)\n"},
      {outdated, 1, kOutdatedMessage},
      {{"--app-build", "299", "--reason", "3"}, 1, kOutdatedMessage},
      {fullReport(), 1, "", true},
      {{"--check-updates"}, 1, "the update check failed: ", true},
      {{"--reason", "99", "--subject", "S"}, 2, "unknown reason id 99"},
      {{"--reason", "1", "--frequency", "42", "--subject", "S"}, 2, "unknown frequency id 42"},
      {{"--subject", "S"}, 2, "no reason is chosen (give --reason ID)"},
      {{"--reason", "1", "--subject", "S"},
       2,
       "the reason \"Something crashed\" needs a frequency"},
      {{"--reason", "3"}, 2, "the subject is empty (give --subject TEXT)"},
      {{"--reason", "3", "--subject", "S", "--message", "Too short"},
       2,
       "the message must be longer than 10 and at most 5000 characters long"},
      {{"--reason", "3", "--bogus"}, 2, "--bogus"},
      {{"--stop-capture-after", "-1", "--reason", "3"}, 2, "--stop-capture-after"},
      {{"--reason", "three"}, 2, "--reason"},
  };
  for (const Case& c : cases) {
    const CommandResult result = runDemoAt(c.deadService ? deadURL : serviceURL_, c.arguments);
    SCOPED_TRACE(c.arguments.front() + " " + c.arguments.back() + "\n" + result.out + result.err);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_NE((c.exitCode == 0 ? result.out : result.err).find(c.output), std::string::npos);
    if (c.deadService && c.arguments.size() > 1) {
      EXPECT_NE(result.out.find("State: failed(generic("), std::string::npos);
      EXPECT_FALSE(result.err.empty());
    }
  }
  EXPECT_TRUE(storedReports().empty());
}

}  // namespace
}  // namespace tessaline
