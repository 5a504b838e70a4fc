// tessaline-demo against the real tessaline-service, over plain HTTP on loopback and over HTTPS
// with the test CA; what the service stored is read back through its export command.
#include "support/ChildProcess.h"
#include "support/ServiceProcess.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

#include <Tessaline/diagnostics/CollectCrashReportsStep.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/utsname.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
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
using ::testing::ElementsAre;
using ::testing::Key;
using testing::runCommand;
using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kCrashReportName = "Pairloom_2024-05-01-101500_test-host.ips";
constexpr const char* kCrashReport = "{\"app_name\":\"Pairloom\"}\n{\"exception\":\"SIGSEGV\"}\n";
constexpr const char* kAppLog = "2024-05-01T10:15:00Z error mixer: render thread stopped\n";
constexpr const char* kMessage = "Playback stops after a few seconds when the project is large.";
constexpr const char* kDeadService = "http://127.0.0.1:1/v1";  // nothing listens on port 1
constexpr const char* kOutdatedMessage =
    "This version of the app is too old, please update the app before submitting your feedback.";

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Every byte value, so a text conversion anywhere would show.
std::string binaryContent() {
  std::string bytes(10240, '\0');
  std::iota(bytes.begin(), bytes.end(), '\0');  // wraps around
  return bytes;
}

class DemoEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(TESSALINE_DEMO_BINARY).empty()) {
      GTEST_SKIP() << "the build has no tessaline-demo";
    }
    directory_.write("home/Library/Logs/DiagnosticReports/" + std::string(kCrashReportName),
                     kCrashReport);
    fs::create_directories(directory_.path() / "tmp");
  }

  std::string startService(bool tls, const std::string& config = testing::kSampleConfig,
                           const std::string& data = "data") {
    const std::string certificates = TESSALINE_TEST_CERT_DIR;
    std::vector<std::string> arguments{
        "--port", "0", "--data", (directory_.path() / data).string(), "--config", config};
    if (tls) {
      arguments.insert(arguments.end(), {"--cert", certificates + "/server.pem", "--key",
                                         certificates + "/server-key.pem"});
    }
    std::string failure;
    auto& service = services_.emplace_back(testing::ServiceProcess::start(arguments, &failure));
    EXPECT_NE(service, nullptr) << failure;
    return service == nullptr ? kDeadService
                              : (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                                    std::to_string(service->port()) + "/v1";
  }

  ChildProcess::Options demoEnvironment(const std::string& serviceURL) const {
    const auto at = [this](const char* name) { return (directory_.path() / name).string(); };
    return {.environment = {{"TESSALINE_SERVICE_URL", serviceURL},
                            {"SSL_CERT_FILE", testing::TestServer::certificateAuthorityFile()},
                            {"HOME", at("home")},
                            {"TMPDIR", at("tmp")},
                            {"XDG_CONFIG_HOME", at("config")},
                            {"XDG_STATE_HOME", at("state")}}};
  }

  CommandResult runDemo(const std::string& serviceURL, std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), TESSALINE_DEMO_BINARY);
    return runCommand(arguments, demoEnvironment(serviceURL), 180s);
  }

  // A report with every diagnostic (reason 1 requires all three) and one file.
  std::vector<std::string> fullReport() const {
    return {"--reason=1",
            "--frequency=2",
            "--subject=Playback stops",
            "--message=" + std::string(kMessage),
            "--email=user@example.com",
            "--log-file=" + logFile_.string(),
            "--attach=" + attachment_.string(),
            "--stop-capture-after=2"};
  }

  std::string listed(const std::string& data = "data") const {
    const auto result =
        testing::runServiceCommand({"list", "--data", (directory_.path() / data).string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
  }

  void expectFullReport(const std::string& id, const std::string& typedMessage) {
    const fs::path out = directory_.path() / ("export-" + id);
    const auto exported = testing::runServiceCommand(
        {"export", id, out.string(), "--data", (directory_.path() / "data").string()});
    ASSERT_EQ(exported.exitCode, 0) << exported.err;
    const auto report = json::parse(readFile(out / "report.json"));
    std::map<std::string, std::string> files;  // by name
    for (const auto& attachment : report["attachments"]) {
      files[attachment["name"]] = readFile(out / attachment["file"].get<std::string>());
    }
    ASSERT_EQ(report["messages"].size(), 1u);
    const std::string body = report["messages"][0]["body"];
    EXPECT_TRUE(body.starts_with(typedMessage + "\n\nOperating System: ")) << body;
    ASSERT_THAT(files,
                ElementsAre(Key("App Logs.txt"), Key("Crash Logs.json"), Key("System Logs.txt"),
                            Key("System Profile.json"), Key("attachment.bin")));
    EXPECT_TRUE(json::parse(files["System Profile.json"], nullptr, false).is_object());
    const auto archive = directory_.write("archive-" + id + ".zip", files["App Logs.txt"]).string();
    EXPECT_EQ(runCommand({"unzip", "-t", archive}).exitCode, 0);
    EXPECT_EQ(runCommand({"unzip", "-p", archive, "*/app.log"}).out, kAppLog);
    const auto crashes = CollectCrashReportsStep::Report::decodeList(files["Crash Logs.json"]);
    ASSERT_TRUE(crashes.ok()) << crashes.error().description();
    ASSERT_EQ(crashes.value().size(), 1u);
    EXPECT_EQ(crashes.value()[0].name, kCrashReportName);
    EXPECT_EQ(crashes.value()[0].payload.view(), kCrashReport);
    EXPECT_EQ(files["attachment.bin"], binaryContent());
  }

  testing::TemporaryDirectory directory_{"tessaline-demo-test"};
  fs::path logFile_ = directory_.write("logs/app.log", kAppLog);
  fs::path attachment_ = directory_.write("attachment.bin", binaryContent());
  std::vector<std::unique_ptr<testing::ServiceProcess>> services_;
};

TEST_F(DemoEndToEndTest, InteractiveSessionAsksForEachFieldAndEnterEndsTheCapture) {
  ChildProcess::Options options = demoEnvironment(startService(false));
  options.terminalInput = true;
  std::string failure;
  auto demo = ChildProcess::start({TESSALINE_DEMO_BINARY, "--log-file", logFile_.string()}, options,
                                  &failure);
  ASSERT_NE(demo, nullptr) << failure;
  const std::pair<const char*, std::string> dialogue[] = {
      {"Reason (number): ", "7\n"},  // not offered: asked again
      {"Please give one of the reason numbers listed above.", "1\n"},
      {"How often does it happen (number): ", "3\n"},
      {"Subject: ", "Interactive subject\n"},
      {"Message (finish with an empty line):", "First line typed\nsecond line\n\n"},
      {"Your name (Enter to skip): ", "\n"},
      {"Your e-mail address (Enter to skip): ", "\n"},
      {"Attach a file (path, Enter when done): ", attachment_.string() + "\n"},
      {"Attached: ", "\n"},
      {"Collect them? [Y/n]: ", "y\n"},
      {"then press Enter (Done).", "\n"}};
  for (const auto& [prompt, typed] : dialogue) {
    ASSERT_TRUE(demo->waitForOutput(prompt, 60s)) << prompt << "\n" << demo->out() << demo->err();
    demo->type(typed);
  }
  ASSERT_EQ(demo->wait(120s), 0) << demo->out() << demo->err();
  EXPECT_NE(demo->out().find("Diagnostics: System Logs: Done"), std::string::npos) << demo->out();
  const std::string out = demo->out();
  const auto id = out.find("\nReport ID: ") + 12;
  expectFullReport(out.substr(id, out.find('\n', id) - id), "First line typed\nsecond line");
}

TEST_F(DemoEndToEndTest, InteractiveSessionEndsAsUsageErrorWhenTheInputEnds) {
  ChildProcess::Options options = demoEnvironment(startService(false));
  options.terminalInput = true;
  auto demo = ChildProcess::start({TESSALINE_DEMO_BINARY}, options);
  ASSERT_NE(demo, nullptr);
  ASSERT_TRUE(demo->waitForOutput("Reason (number): ", 60s)) << demo->out() << demo->err();
  demo->type("3\n\n");  // a reason that needs no frequency; the frequency is skipped
  ASSERT_TRUE(demo->waitForOutput("Subject: ", 60s)) << demo->out() << demo->err();
  demo->type("\x04");  // Ctrl-D: the end of the input
  EXPECT_EQ(demo->wait(60s), 2) << demo->out() << demo->err();
  EXPECT_NE(demo->err().find("the input ended before the form was complete"), std::string::npos)
      << demo->err();
  EXPECT_EQ(listed(), "");
}

TEST_F(DemoEndToEndTest, EveryOtherOutcomeHasItsExitCodeAndText) {
  const std::string service = startService(false);
  const std::string dead = kDeadService;
  // The sample configuration, with this machine's OS build (the kernel release) blocked.
  utsname system{};
  ASSERT_EQ(::uname(&system), 0);
  auto config = json::parse(readFile(testing::kSampleConfig));
  config["form"]["blockedOSBuilds"].push_back(
      {{"id", system.release}, {"name", "This kernel"}, {"message", "Closed for this kernel."}});
  const std::string blocking =
      startService(false, directory_.write("blocking.json", config.dump()).string(), "blocked");
  auto outdated = fullReport();
  outdated.insert(outdated.end(), {"--app-version", "0.1"});
  struct Case {
    std::string url;
    std::vector<std::string> arguments;
    int exitCode;
    std::string output;  // expected on standard output when the exit code is 0, else on errors
  };
  const Case cases[] = {
      {service,
       {"--check-updates"},
       0,
       "Update available: yes\nLatest build: 320\n"
       "Message: Version 2.5 is ready: faster exports and a new mixer.\n"},
      {service,
       {"--check-updates", "--train=beta", "--app-build=331"},
       0,
       "Update available: no\nLatest build: 331 (beta)\n"},
      {service, outdated, 1, kOutdatedMessage},
      {service, {"--app-build=299", "--reason=3"}, 1, kOutdatedMessage},
      {blocking, fullReport(), 1, "Closed for this kernel."},
      {dead, fullReport(), 1, ""},
      {dead, {"--check-updates"}, 1, "the update check failed: "},
      {service, {"--reason=99", "--subject=S"}, 2, "unknown reason id 99"},
      {service, {"--reason=1", "--frequency=42", "--subject=S"}, 2, "unknown frequency id 42"},
      {service, {"--subject=S"}, 2, "no reason is chosen (give --reason ID)"},
      {service,
       {"--reason=1", "--subject=S"},
       2,
       "the reason \"Something crashed\" needs a frequency"},
      {service, {"--reason=3"}, 2, "the subject is empty (give --subject TEXT)"},
      {service,
       {"--reason=3", "--subject=S", "--message=Too short"},
       2,
       "the message must be longer than 10 and at most 5000 characters long"},
      {service, {"--stop-capture-after", "-1", "--reason", "3"}, 2, "--stop-capture-after"},
  };
  for (const Case& c : cases) {
    const CommandResult result = runDemo(c.url, c.arguments);
    SCOPED_TRACE(c.arguments.front() + " " + c.arguments.back() + "\n" + result.out + result.err);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_NE((c.exitCode == 0 ? result.out : result.err).find(c.output), std::string::npos);
    if (c.url == dead && c.arguments.size() > 1) {
      EXPECT_NE(result.out.find("State: failed(generic("), std::string::npos);
      EXPECT_FALSE(result.err.empty());
    }
  }
  EXPECT_EQ(listed() + listed("blocked"), "");
}

// A report the service cannot take is kept with every diagnostic and the file and sent later, once,
// over HTTPS with the test authority. A file that cannot be attached is said so and left out.
TEST_F(DemoEndToEndTest, AKeptReportWithEveryDiagnosticIsSentOnceLaterOverHttps) {
  testing::TestServer failing({.tls = false});  // the form loads, every upload gets a 503 page
  const auto form = json::parse(readFile(testing::kSampleConfig))["form"].dump();
  failing.setReply("GET", "/v1/config", testing::Reply::json(form));
  failing.setReply("POST", "/v1/attachments", testing::Reply::json("<h1>busy</h1>", 503));
  auto arguments = fullReport();
  const std::string missing = (directory_.path() / "missing.png").string();
  arguments.insert(arguments.end(), {"--outbox", "--attach", missing});
  const auto kept = runDemo(failing.baseURL(), arguments);
  EXPECT_EQ(kept.exitCode, 0) << kept.out << kept.err;
  EXPECT_NE(kept.err.find("cannot attach " + missing + ": "), std::string::npos) << kept.err;
  EXPECT_NE(kept.out.find("(the service answered with status 503).\nIt was kept on this "
                          "computer and will be sent later."),
            std::string::npos)
      << kept.out;
  const auto box = directory_.path() / "state/tessaline/outbox";
  EXPECT_EQ(std::distance(fs::directory_iterator(box), fs::directory_iterator()), 1);
  const std::string service = startService(true);
  for (const char* expected : {"Sent 1 kept report(s)", "Sent 0 kept report(s)"}) {
    const auto flushed = runDemo(service, {"--flush-outbox"});
    EXPECT_EQ(flushed.exitCode, 0) << flushed.out << flushed.err;
    EXPECT_NE(flushed.out.find(expected), std::string::npos) << flushed.out;
  }
  const auto list = listed();
  ASSERT_EQ(std::count(list.begin(), list.end(), '\n'), 1) << list;
  expectFullReport(list.substr(0, list.find('\t')), kMessage);
}

}  // namespace
}  // namespace tessaline
