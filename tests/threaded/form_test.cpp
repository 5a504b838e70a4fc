// The form's view model against a real HTTPS server: the configuration, the rules of a valid
// report, custom attachments, the environment summary, and submissions when any part fails.
#include <Tessaline/diagnostics/DiagnosisStep.h>
#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/form/detail/EnvironmentSummary.h>
#include <Tessaline/records/Bundle.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/FilePanel.h>
#include <platform/Logger.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>
#include <platform/NotificationCenter.h>
#include <platform/SerialQueue.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/FormTesting.h"
#include "support/ProcessFixtures.h"
#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

#include <atomic>
#include <functional>

namespace tessaline {
namespace {

using State = FeedbackFormViewModel::State;
using Failure = FeedbackFormViewModel::Failure;
using Requirement = Feedback::Requirement;
using Strings = std::vector<std::string>;
using json = nlohmann::json;
using testing::acceptingConfig;
using ::testing::ElementsAre;
using ::testing::Field;
using testing::makeReason;
using ::testing::MatchesRegex;

// A step that delivers from its own queue: a fixed payload, or (the third) an error.
template <int N>
class PayloadStep final : public DiagnosisStep {
 public:
  static StepClassMembers& classMembers() {
    static StepClassMembers members(N, N == 1 ? "Profile" : N == 2 ? "Crashes" : "Logs");
    return members;
  }
  static bool shouldRun(const Feedback& feedback) {
    const auto& reason = feedback.reason;
    return (N == 1   ? reason.systemProfile
            : N == 2 ? reason.crashLogs
                     : reason.appLogs) == Requirement::required;
  }
  static inline std::atomic<int> runs{0};

  bool isRunning() const override { return running_; }
  std::string preferredFileExtension() const override { return N == 1 ? "json" : "txt"; }
  std::shared_ptr<Progress> run(const Feedback&, Completion completion) override {
    ++runs;
    running_ = true;
    queue_.async([this, completion = std::move(completion)] {
      running_ = false;
      if (N == 3) {
        completion(Error(Error::Kind::process, "no log tool"));
      } else {
        completion(Bytes(std::string(N == 1 ? "{\"profile\":1}" : "crash-report")));
      }
    });
    return nullptr;
  }

 private:
  std::atomic<bool> running_{false};
  platform::SerialQueue queue_{"PayloadStep", platform::QualityOfService::userInitiated};
};

// The open panel and the alert, answered and recorded as a user would see them.
struct FakeDialogs final : platform::FilePanel, platform::Alert {
  std::optional<std::vector<Url>> answer;
  std::optional<platform::OpenPanelOptions> panel;
  std::vector<platform::AlertContent> alerts;
  Result<std::optional<std::vector<Url>>> runModal(
      const platform::OpenPanelOptions& options) override {
    panel = options;
    return answer;
  }
  int runModal(const platform::AlertContent& content) override {
    alerts.push_back(content);
    return 0;
  }
};

class FormTest : public ::testing::Test {
 protected:
  void SetUp() override { makeModel("2.4.1", "310"); }
  void TearDown() override {
    platform::FilePanel::install(nullptr);
    platform::Alert::install(nullptr);
    FeedbackFormViewModel::setAwbazYLhws("?");
    platform::MainQueue::drain();
  }

  void makeModel(const std::string& version, const std::string& build) {
    server_.reset();
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", version}, {"CFBundleVersion", build}});
    model_ = FeedbackFormViewModel::make(
        {stepKind<PayloadStep<1>>(), stepKind<PayloadStep<2>>(), stepKind<PayloadStep<3>>()},
        std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
  }
  void load(const Config& config) { FormModelTestAccess::applyConfig(*model_, config); }

  // Serves the configuration (or another answer), loads it and waits until the outcome is applied.
  void loadAndWait(const std::string& answer, int calls = 1) {
    server_.setReply("GET", "/v1/config", testing::Reply::json(answer));
    for (int call = 0; call < calls; ++call) {
      model_->loadForm();
    }
    ASSERT_TRUE(platform::MainQueue::drainUntil(
        [&] { return !model_->reasons.get().empty() || model_->state.get() != State::idle(); }));
    platform::MainQueue::drain();
  }

  void makeValid() {
    load(acceptingConfig());
    model_->feedback.modify([](Feedback& record) {
      record.reason =
          makeReason(7, Requirement::optional, Requirement::optional, Requirement::optional, false);
    });
    model_->subject.set("Crash");
    model_->message.set("It crashes when I click.");
  }

  ReportAttachment fileAttachment(const std::string& name, const std::string& contents) {
    const auto url = Url::fileURL(dir_.write(name, contents).string());
    return ReportAttachment(url.deletingPathExtensionOfLastComponent(), ReportAttachment::file(url),
                            url.pathExtension());
  }

  testing::TestServer& server_ = testing::serviceServer();  // before the environment is read
  testing::TemporaryDirectory dir_;
  std::shared_ptr<FeedbackFormViewModel> model_;
};

// Loaded once although asked twice; known issues are filtered by build and operating system;
// every later real change of the record is posted from a later turn of the main queue.
TEST_F(FormTest, AnAcceptedConfigurationBindsTheFieldsAndPostsOnlyRealChangesLater) {
  std::vector<Feedback> notified;
  auto watch = platform::NotificationCenter::defaultCenter().addObserver(
      std::string(feedbackFormDidUpdate), [&](const platform::Notification& notification) {
        notified.push_back(std::any_cast<Feedback>(notification.object));
      });
  platform::LogCapture capture;
  const std::string code = operatingSystemBuildCode().value_or("ERROR");
  Config config = acceptingConfig();
  config.minVersion = AppVersion{2, 4, 1};
  config.minBuildNumber = 310;  // equal version and build are accepted
  config.knownIssues = {{"everyone", {}, {}, "shown"},
                        {"other-builds", {1, 2}, {code}, "hidden although the OS matches"},
                        {"this-build", {309, 310}, {}, "shown"},
                        {"this-os", {}, {"x", code}, "shown"},
                        {"other-os", {310}, {"not-" + code}, "hidden"}};
  EXPECT_TRUE(model_->feedback.get().messages.empty()) << "nothing is bound before loading";
  loadAndWait(config.toJson().value(), 2);

  EXPECT_EQ(server_.requests().size(), 1u);
  EXPECT_EQ(model_->state.get(), State::idle());
  EXPECT_EQ(model_->reasons.get(), config.reasons);
  EXPECT_EQ(model_->frequencies.get(), config.frequencies);
  EXPECT_THAT(model_->knownIssues.get(),
              ElementsAre(Field(&KnownIssue::id, "everyone"), Field(&KnownIssue::id, "this-build"),
                          Field(&KnownIssue::id, "this-os")));
  const Feedback record = model_->feedback.get();
  ASSERT_EQ(record.messages.size(), 1u);
  EXPECT_EQ(record.messages[0].body, "Please describe the issue in as much detail as possible.");
  EXPECT_EQ(record.subject, std::optional<std::string>(""));
  EXPECT_EQ(record.contactInformation, (Feedback::ContactInformation{"", ""}));
  // Three changes (message, subject, contact), each posted later with the record as it is then.
  EXPECT_EQ(notified, std::vector<Feedback>(3, record));
  EXPECT_EQ(capture.count("State = %@", "FeedbackFormViewModel"), 0u) << "state never assigned";

  notified.clear();
  model_->feedback.set(model_->feedback.get());
  platform::MainQueue::drain();
  EXPECT_TRUE(notified.empty()) << "an equal record posts nothing";
  model_->subject.set("a");
  EXPECT_TRUE(notified.empty());
  platform::MainQueue::drain();
  ASSERT_EQ(notified.size(), 1u);
  EXPECT_EQ(notified[0].subject, std::optional<std::string>("a"));

  // Contact information removed by the host is rebuilt field by field.
  model_->feedback.modify([](Feedback& edited) { edited.contactInformation.reset(); });
  model_->email.set("me@example.com");
  EXPECT_EQ(model_->feedback.get().contactInformation,
            (Feedback::ContactInformation{"", "me@example.com"}));
  model_->loadForm();
  platform::MainQueue::drain();
  EXPECT_EQ(server_.requests().size(), 1u);
}

TEST_F(FormTest, ARefusedFormStaysUnboundAndIsNotLoadedAgain) {
  const std::tuple<const char*, const char*, State> cases[] = {
      {"beta", nullptr, State::failed(Failure::generic("Invalid app version: beta"))},
      {"2.4.1", "", State::failed(Failure::generic(Config::fromJson("").error().description()))},
  };
  for (const auto& [version, answer, expected] : cases) {  // answer: instead of the configuration
    SCOPED_TRACE(version);
    makeModel(version, "1");
    platform::LogCapture capture;
    loadAndWait(answer ? answer : acceptingConfig().toJson().value());
    EXPECT_EQ(model_->state.get(), expected);
    EXPECT_TRUE(model_->reasons.get().empty());
    EXPECT_TRUE(model_->knownIssues.get().empty());
    EXPECT_EQ(capture.count("State = %@", "FeedbackFormViewModel"), 1u);
    const Feedback before = model_->feedback.get();
    model_->subject.set("edited");
    EXPECT_EQ(model_->feedback.get(), before);
    model_->loadForm();
    platform::MainQueue::drain();
    EXPECT_EQ(server_.requests().size(), 1u);
  }
}

TEST_F(FormTest, AReportIsValidOnlyWithinEveryRule) {
  model_->feedback.modify([](Feedback& record) {
    record.reason =
        makeReason(7, Requirement::optional, Requirement::optional, Requirement::optional, false);
    record.subject = "Subject";
    record.messages.push_back({Date::now(), Feedback::Message::Sender::user, "long enough", {}});
  });
  EXPECT_FALSE(model_->isValid()) << "never valid without a configuration";
  model_->feedback.set(Feedback());
  load(acceptingConfig());
  EXPECT_FALSE(model_->isValid()) << "placeholder reason and empty subject right after loading";

  // A family emoji (seven code points, 25 bytes) and a flag count as one character each.
  const std::string family =
      "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91"
      "\xA7\xE2\x80\x8D\xF0\x9F\x91\xA6";
  const std::string flag = "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
  const auto message = [this](std::string text) {
    return [this, text] { model_->message.set(text); };
  };
  const auto edit = [this](std::function<void(Feedback&)> change) {
    return [this, change] { model_->feedback.modify(change); };
  };
  struct Case {
    const char* what;
    std::function<void()> change;
    bool valid;
  };
  const Case cases[] = {
      {"as made", [] {}, true},
      {"placeholder reason", edit([](Feedback& f) { f.reason = Feedback::Reason::empty(); }),
       false},
      {"a reason differing from the placeholder only in requiresFrequency", edit([](Feedback& f) {
         f.reason = Feedback::Reason::empty();
         f.reason.requiresFrequency = std::nullopt;
       }),
       true},
      {"frequency asked for, not chosen",
       edit([](Feedback& f) { f.reason.requiresFrequency = true; }), false},
      {"frequency asked for, id -1 but another title", edit([](Feedback& f) {
         f.reason.requiresFrequency = true;
         f.reproductionFrequency = {-1, "Other"};
       }),
       true},
      {"10 characters", message(std::string(10, 'a')), false},
      {"11 characters", message(std::string(11, 'a')), true},
      {"101 characters", message(std::string(101, 'a')), false},
      {"10 characters with clusters", message(std::string(8, 'a') + family + flag), false},
      {"100 characters in 124 bytes", message(std::string(99, 'a') + family), true},
      {"a later empty message", edit([](Feedback& f) {
         f.messages.push_back({Date::now(), Feedback::Message::Sender::support, "", {}});
       }),
       true},
      {"no message", edit([](Feedback& f) { f.messages.clear(); }), false},
      {"a blank subject", [this] { model_->subject.set("   "); }, true},
      {"an empty subject", [this] { model_->subject.set(""); }, false},
  };
  for (const auto& c : cases) {
    makeValid();
    c.change();
    EXPECT_EQ(model_->isValid(), c.valid) << c.what;
  }

  // Diagnostics are asked for when any requirement is required.
  constexpr auto r = Requirement::required;
  constexpr auto o = Requirement::optional;
  const std::tuple<Requirement, Requirement, Requirement, bool> requirements[] = {
      {o, o, o, false}, {r, o, o, true}, {o, r, o, true}, {o, Requirement::notRequired, r, true}};
  for (const auto& row : requirements) {
    model_->feedback.modify([&](Feedback& record) {
      record.reason = makeReason(1, std::get<0>(row), std::get<1>(row), std::get<2>(row));
    });
    EXPECT_EQ(model_->feedbackRequiresAnyDiagnostics(), std::get<3>(row));
  }
}

// The checks run in order (before loading even a payload is refused as such) and a refused
// attachment leaves the list unchanged. The panel's files are added one by one; what cannot be
// added is shown in an alert, but for a file-system error.
TEST_F(FormTest, CustomAttachmentsAreCheckedInOrderAndComeFromThePanel) {
  auto dialogs = std::make_shared<FakeDialogs>();
  platform::Alert::install(dialogs);
  const auto payload =
      ReportAttachment("p", ReportAttachment::payload(Bytes(std::string("x"))), "txt");
  const auto gone = ReportAttachment(
      "gone", ReportAttachment::file(Url::fileURL((dir_.path() / "gone.txt").string())), "txt");
  const auto folder =
      ReportAttachment("dir", ReportAttachment::file(Url::fileURL(dir_.path().string())), "");
  struct Case {
    bool loaded;
    ReportAttachment attachment;
    std::string error;
  };
  const Case cases[] = {
      {false, payload, "Not configured."},
      {false, fileAttachment("shot.png", "0123456789"), "Not configured."},
      {true, payload, "Custom attachments must reference a file URL."},
      {true, gone, "file system"},
      {true, folder, "Failed to determine the file size for the attachment."},
      {true, fileAttachment("at.log", std::string(100, 'x')),
       "That file is too large, the maximum allowed file size is 100 bytes."},
      {true, fileAttachment("below.log", std::string(99, 'x')), ""},
  };
  for (const auto& c : cases) {
    if (c.loaded && model_->reasons.get().empty()) {
      auto config = acceptingConfig();
      config.maxAttachmentSize = 100;
      load(config);
    }
    const auto added = model_->addCustomAttachment(c.attachment);
    const std::string error = added                                             ? ""
                              : added.error().kind() == Error::Kind::fileSystem ? "file system"
                              : added.error().kind() == Error::Kind::attachment
                                  ? added.error().description()
                                  : "another kind: " + added.error().description();
    EXPECT_EQ(error, c.error) << c.attachment.id;
  }
  const auto below = cases[6].attachment;
  EXPECT_EQ(model_->customAttachments.get(), std::vector<ReportAttachment>{below});
  EXPECT_TRUE(dialogs->alerts.empty());

  {
    testing::ScopedEnvironment display("DISPLAY", std::nullopt);
    testing::ScopedEnvironment wayland("WAYLAND_DISPLAY", std::nullopt);
    model_->addAttachment();  // no panel can be shown
  }
  platform::FilePanel::install(dialogs);
  model_->addAttachment();  // cancelled
  dialogs->answer = std::vector<Url>{Url::fileURL((dir_.path() / "vanished.txt").string())};
  model_->addAttachment();  // a file-system error is not shown
  const auto first = fileAttachment("first.png", "x");
  const auto large = fileAttachment("large.mov", std::string(100, 'x'));
  const auto notes = fileAttachment("notes", "x");
  dialogs->answer =
      std::vector<Url>{*first.fileURL(), *large.fileURL(), *notes.fileURL(), *first.fileURL()};
  model_->addAttachment();
  EXPECT_EQ(dialogs->panel->allowedFileTypes,
            (std::vector<std::string>{"png", "jpg", "jpeg", "mp4", "m4v", "mov", "ips", "log",
                                      "txt", "json", "pdf"}));
  EXPECT_EQ(dialogs->panel->prompt, "Attach");
  EXPECT_TRUE(dialogs->panel->allowsMultipleSelection);
  EXPECT_EQ(model_->customAttachments.get(),
            (std::vector<ReportAttachment>{below, first, notes, first}));
  ASSERT_EQ(dialogs->alerts.size(), 2u);
  EXPECT_EQ(dialogs->alerts[0].informativeText, "No file panel is available");
  EXPECT_EQ(dialogs->alerts[1].messageText, "Error Adding Attachment");
  EXPECT_EQ(dialogs->alerts[1].informativeText,
            "That file is too large, the maximum allowed file size is 100 bytes.");
  EXPECT_EQ(dialogs->alerts[1].buttons, std::vector<std::string>{"OK"});

  int announcements = 0;
  auto watch = model_->objectWillChange.connect([&] { ++announcements; });
  model_->removeCustomAttachment(first);
  EXPECT_EQ(model_->customAttachments.get(), (std::vector<ReportAttachment>{below, notes, first}));
  model_->removeCustomAttachment(large);
  EXPECT_EQ(announcements, 1) << "removing an absent entry announces nothing";
}

TEST_F(FormTest, TheEnvironmentSummaryIsNineLabelledLinesThenTheSharedSuffix) {
  EXPECT_THAT(model_->basicEnvironmentInformation(),
              MatchesRegex("Operating System: [^\n]*\nApplication Version: 2\\.4\\.1 \\(310\\)\n"
                           "Hardware: [^\n]+\nThermal State: [^\n]+\nUptime: [^\n]+\n"
                           "Processor Count: [^\n]+\nMemory: [^\n]+\nScreens: [^\n]*\n"
                           "Locale: [^\n]+\n\n\\?"));
  FeedbackFormViewModel::setAwbazYLhws("build 42");
  // Read again on every call; a value that is not text is unknown.
  platform::MainBundle::setInfoDictionary(
      {{"CFBundleShortVersionString", std::int64_t{2}}, {"CFBundleVersion", "+1234"}});
  const std::string changed = model_->basicEnvironmentInformation();
  EXPECT_TRUE(changed.ends_with("\n\nbuild 42")) << changed;
  EXPECT_NE(changed.find("\nApplication Version: Unknown (1234)\n"), std::string::npos) << changed;
  EXPECT_EQ(detail::screensText({{"DP-1", std::pair{2560.0, 1440.0}, 1.0}, {"eDP-1", {}, 2.0}}),
            "DP-1 2560x1440 (1x); eDP-1 Unknown Size (2x)");
  const char* thermal[] = {"Unknown", "Nominal", "Fair", "Serious", "Critical", "Unknown"};
  for (int state = -1; state <= 4; ++state) {
    EXPECT_EQ(detail::thermalStateText(state), thermal[state + 1]);
  }
}

// A loaded, filled form whose state changes are recorded.
class FormSubmissionTest : public FormTest {
 protected:
  void SetUp() override {
    FormTest::SetUp();
    answer(R"({"id":"R-1"})");
    load(acceptingConfig());
    model_->subject.set("Subject");
    model_->message.set("Word");
    states_ = model_->state.subscribe([&](const State& s) { changes_.push_back(s.description()); });
    texts_ = model_->stateDescription.subscribe(
        [&](const std::string& text) { changes_.push_back("text " + text); });
    changes_.clear();
  }

  void answer(const std::string& report, int status = 200) {
    server_.setReply("POST", "/v1/attachments",
                     testing::Reply::json(R"({"localId":"L","attachmentId":"A","name":"N"})"));
    server_.setReply("POST", "/v1/reports", testing::Reply::json(report, status));
  }
  void chooseReason(Requirement profile, Requirement crash, Requirement logs) {
    model_->feedback.modify(
        [&](Feedback& record) { record.reason = makeReason(4, profile, logs, crash); });
  }
  ReportAttachment attach(const std::string& name, const std::string& contents) {
    const auto attachment = fileAttachment(name, contents);
    EXPECT_TRUE(model_->addCustomAttachment(attachment));
    return attachment;
  }
  State send(bool retry = false) {
    retry ? model_->retry() : model_->submit();
    EXPECT_TRUE(platform::MainQueue::drainUntil([&] {
      const auto kind = model_->state.get().kind();
      return kind == State::Case::submitted || kind == State::Case::failed;
    }));
    return model_->state.get();
  }
  std::vector<testing::RecordedRequest> requestsTo(const std::string& path) const {
    auto found = server_.requests();
    std::erase_if(found, [&](const auto& request) { return request.path != path; });
    return found;
  }
  json lastReport() const {
    const auto reports = requestsTo("/v1/reports");
    return reports.empty() ? json() : json::parse(reports.back().body);
  }

  Strings changes_;
  Cancellable states_, texts_;
};

// Required diagnostics without the user's consent run nothing; without attachments the report
// goes out at once. The environment summary travels with the first message on the wire only.
TEST_F(FormSubmissionTest, WithoutConsentAndAttachmentsTheReportGoesOutAtOnce) {
  chooseReason(Requirement::required, Requirement::required, Requirement::notRequired);
  model_->diagnosticsOptIn.set(false);
  model_->feedback.modify([](Feedback& record) {
    record.messages.push_back({Date::now(), Feedback::Message::Sender::support, "second", {}});
  });
  const int runsBefore = PayloadStep<1>::runs + PayloadStep<2>::runs;
  changes_.clear();
  EXPECT_EQ(send(), State::submitted());
  EXPECT_EQ(changes_,
            (Strings{"text Uploading Attachments", "loading", "loading", "text Submitting Report",
                     "text Thank you for sending your feedback!\nIt was assigned the ID "
                     "R-1.",
                     "submitted"}));
  EXPECT_EQ(PayloadStep<1>::runs + PayloadStep<2>::runs, runsBefore);
  EXPECT_TRUE(model_->diagnosticItems.get().empty());
  EXPECT_EQ(server_.requests().size(), 1u);
  const auto body = lastReport();
  EXPECT_EQ(body["attachments"], json::array());
  EXPECT_EQ(body["messages"][0]["body"], "Word\n\n" + model_->basicEnvironmentInformation());
  EXPECT_EQ(body["messages"][1]["body"], "second");
  EXPECT_EQ(model_->feedback.get().messages[0].body, "Word");
}

// A second submit after a failed report lists that pass's uploads only; retry runs everything
// again with a new runner, whose items are shown. The diagnostics and the file go up together, a
// failed diagnostic item contributes no upload, and the report goes after the last of them.
TEST_F(FormSubmissionTest, AfterAFailedReportSubmitAndRetryListEachUploadOnce) {
  chooseReason(Requirement::required, Requirement::required, Requirement::required);
  model_->email.set("me@example.com");
  attach("shot.png", "PNGDATA");
  answer("{}");  // does not decode
  auto failed = send();
  ASSERT_EQ(failed.kind(), State::Case::failed);
  EXPECT_FALSE(failed.failure()->message.empty());
  EXPECT_EQ(model_->stateDescription.get(), "");
  answer("<html>busy</html>", 503);
  EXPECT_EQ(send().kind(), State::Case::failed);
  EXPECT_EQ(lastReport()["attachments"].size(), 3u);
  const auto firstItems = model_->diagnosticItems.get();
  ASSERT_EQ(firstItems.size(), 3u);

  server_.reset();
  answer(R"({"id":"R-1"})");
  changes_.clear();
  EXPECT_EQ(send(true), State::submitted());
  EXPECT_EQ(changes_,
            (Strings{"idle", "diagnosis", "text Collecting Diagnostics",
                     "text Uploading Attachments", "loading", "loading", "text Submitting Report",
                     "text Thank you for sending your feedback!\nIt was assigned the ID "
                     "R-1.\nYou'll be contacted over e-mail for updates if necessary.",
                     "submitted"}));
  const auto all = server_.requests();
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[3].path, "/v1/reports");
  std::multiset<std::string> uploads;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(all[i].path, "/v1/attachments");
    uploads.insert(all[i].query.substr(0, all[i].query.find('&')) + " " + all[i].body);
  }
  EXPECT_EQ(uploads,
            (std::multiset<std::string>{"fileId=Crashes crash-report",
                                        "fileId=Profile {\"profile\":1}", "fileId=shot PNGDATA"}));
  EXPECT_EQ(lastReport()["attachments"].size(), 3u);
  const auto items = model_->diagnosticItems.get();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].id, "Profile");
  EXPECT_NE(items[0].step, firstItems[0].step);
  EXPECT_TRUE(items[0].state.isFinished());
  EXPECT_TRUE(items[2].state.isFailed());
  EXPECT_EQ(model_->customAttachments.get().size(), 1u);
}

// A file gone before the upload is left out; the other uploads finish once, together.
TEST_F(FormSubmissionTest, SixtyFourConcurrentUploadsAreCountedExactlyOnce) {
  platform::LogCapture capture;
  for (int i = 0; i < 64; ++i) {
    attach("file" + std::to_string(i) + ".txt", std::string(1000 + i, 'x'));
  }
  std::filesystem::remove(attach("gone.txt", "gone").fileURL()->path());
  EXPECT_EQ(send(), State::submitted());
  EXPECT_EQ(requestsTo("/v1/attachments").size(), 64u);
  EXPECT_EQ(capture.count("Failed to read custom attachment file from %@: %{public}@"), 1u);
  EXPECT_EQ(capture.count("All uploads finished"), 1u);
  EXPECT_EQ(lastReport()["attachments"].size(), 64u);
}

TEST_F(FormSubmissionTest, ModelDestroyedMidPipelineDropsItsResults) {
  attach("shot.png", "PNG");
  auto slow = testing::Reply::json(R"({"localId":"L","attachmentId":"A","name":"N"})");
  slow.delay = std::chrono::milliseconds(300);
  server_.setReply("POST", "/v1/attachments", slow);
  model_->submit();
  ASSERT_TRUE(server_.waitForRequests(1));
  std::weak_ptr<FeedbackFormViewModel> weak = model_;
  model_.reset();
  platform::MainQueue::drainUntil([] { return false; }, std::chrono::milliseconds(600));
  EXPECT_TRUE(weak.expired());
  EXPECT_TRUE(requestsTo("/v1/reports").empty());
}

}  // namespace
}  // namespace tessaline
