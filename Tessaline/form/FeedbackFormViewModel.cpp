#include <Tessaline/form/FeedbackFormViewModel.h>

#include <Tessaline/diagnostics/DiagnosisRunner.h>
#include <Tessaline/form/detail/Text.h>
#include <Tessaline/records/Bundle.h>
#include <Tessaline/service/AttachmentUploadResponse.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/NotificationCenter.h>

#include <algorithm>

namespace tessaline {

namespace {

constexpr const char* kOutdatedAppMessage =
    "This version of the app is too old, please update the app before submitting your feedback.";

}  // namespace

FeedbackFormViewModel::Failure FeedbackFormViewModel::Failure::outdatedApp() {
  return {Kind::outdatedApp, kOutdatedAppMessage};
}

std::string FeedbackFormViewModel::Failure::description() const {
  switch (kind) {
    case Kind::generic:
      return "generic(\"" + message + "\")";
    case Kind::osBlocked:
      return "osBlocked(\"" + message + "\")";
    case Kind::outdatedApp:
      return "outdatedApp(\"" + message + "\")";
  }
  return message;
}

std::string FeedbackFormViewModel::State::description() const {
  switch (case_) {
    case Case::failed:
      return "failed(" + (failure_ ? failure_->description() : std::string()) + ")";
    case Case::idle:
      return "idle";
    case Case::loading:
      return "loading";
    case Case::diagnosis:
      return "diagnosis";
    case Case::submitted:
      return "submitted";
  }
  return "idle";
}

std::shared_ptr<FeedbackFormViewModel> FeedbackFormViewModel::make(
    std::vector<StepKind> steps, std::shared_ptr<FeedbackAPIClient> client) {
  std::shared_ptr<FeedbackFormViewModel> model(
      new FeedbackFormViewModel(std::move(steps), std::move(client)));
  model->start();
  return model;
}

FeedbackFormViewModel::FeedbackFormViewModel(std::vector<StepKind> steps,
                                             std::shared_ptr<FeedbackAPIClient> client)
    : client_(std::move(client)),
      runner_(DiagnosisRunner::make(std::move(steps))),
      log_(std::make_unique<platform::Logger>(std::string(platform::kLogSubsystem),
                                              "FeedbackFormViewModel")) {}

FeedbackFormViewModel::~FeedbackFormViewModel() = default;

// The subscriptions that need a weak reference to the model, made once it is owned.
void FeedbackFormViewModel::start() {
  installRunner(runner_);

  const std::weak_ptr<FeedbackFormViewModel> weak = weak_from_this();
  cancellables_.push_back(state_.subscribe([weak, first = true](const State& state) mutable {
    if (std::exchange(first, false)) {
      return;  // the initial value is not an assignment
    }
    if (auto self = weak.lock()) {
      self->log_->debug("State = %@", state.description());
    }
  }));

  cancellables_.push_back(feedback.subscribe([weak](const Feedback& record) {
    auto self = weak.lock();
    if (!self) {
      return;
    }
    const bool changed = self->lastFeedback_.has_value() && *self->lastFeedback_ != record;
    self->lastFeedback_ = record;
    if (!changed) {
      return;
    }
    // Reads the record when it runs, so a burst of edits posts the latest one each time.
    platform::MainQueue::async([self] {
      platform::NotificationCenter::defaultCenter().post(std::string(feedbackFormDidUpdate),
                                                         self->feedback.get());
    });
  }));
}

// The items follow whichever runner the model holds, also after retry() replaced it.
void FeedbackFormViewModel::installRunner(std::shared_ptr<DiagnosisRunner> runner) {
  runner_ = std::move(runner);
  const std::weak_ptr<FeedbackFormViewModel> weak = weak_from_this();
  runnerItemsSubscription_ =
      runner_->items.subscribe([weak](const std::vector<DiagnosisItem>& items) {
        if (auto self = weak.lock()) {
          self->diagnosticItems_.set(items);
        }
      });
}

void FeedbackFormViewModel::loadForm() {
  // One fetch per model: a second call while the first is on its way would fetch again and bind
  // the text fields twice.
  if (loadRequested_ || !reasons_.get().empty() || state_.get() != State::idle()) {
    return;
  }
  loadRequested_ = true;
  const std::weak_ptr<FeedbackFormViewModel> weak = weak_from_this();
  // Outcomes arrive on the HTTP thread; the model is only touched on the main queue.
  cancellables_.push_back(client_->fetchConfig().subscribe(
      [weak](Config config) {
        platform::MainQueue::async([weak, config = std::move(config)] {
          if (auto self = weak.lock()) {
            self->applyConfig(config);
          }
        });
      },
      [weak](std::optional<Error> error) {
        if (!error) {
          return;
        }
        platform::MainQueue::async([weak, error = std::move(*error)] {
          if (auto self = weak.lock()) {
            self->state_.set(State::failed(Failure::generic(error.description())));
          }
        });
      }));
}

void FeedbackFormViewModel::applyConfig(const Config& config) {
  config_ = config;

  const auto version = appVersion();
  if (!version) {
    state_.set(State::failed(Failure::generic(version.error().description())));
    return;
  }
  if (version.value() < config.minVersion) {
    state_.set(State::failed(Failure::outdatedApp()));
    return;
  }
  const std::int64_t build = appBuildNumber();
  if (build < config.minBuildNumber) {
    state_.set(State::failed(Failure::outdatedApp()));
    return;
  }

  const std::string osBuild = operatingSystemBuildCode().value_or("ERROR");
  for (const auto& blocked : config.blockedOSBuilds) {
    if (blocked.id == osBuild) {
      state_.set(State::failed(Failure::osBlocked(blocked.message)));
      return;
    }
  }

  std::vector<KnownIssue> affecting;
  for (const auto& issue : config.knownIssues) {
    const bool appAffected =
        issue.affectedAppBuilds.empty() ||
        std::ranges::find(issue.affectedAppBuilds, build) != issue.affectedAppBuilds.end();
    const bool osAffected =
        issue.affectedOSBuilds.empty() ||
        std::ranges::find(issue.affectedOSBuilds, osBuild) != issue.affectedOSBuilds.end();
    if (appAffected && osAffected) {
      affecting.push_back(issue);
    }
  }
  knownIssues_.set(std::move(affecting));
  reasons_.set(config.reasons);
  frequencies_.set(config.frequencies);
  bindFormFields();
}

void FeedbackFormViewModel::bindFormFields() {
  const std::weak_ptr<FeedbackFormViewModel> weak = weak_from_this();
  cancellables_.push_back(message.subscribe([weak](const std::string& text) {
    auto self = weak.lock();
    if (!self) {
      return;
    }
    Feedback record = self->feedback.get();
    Feedback::Message first{Date::now(), Feedback::Message::Sender::user, text, {}};
    if (record.messages.empty()) {
      record.messages.push_back(std::move(first));
    } else {
      record.messages.front() = std::move(first);
    }
    self->feedback.set(std::move(record));
  }));
  cancellables_.push_back(subject.subscribe([weak](const std::string& text) {
    if (auto self = weak.lock()) {
      self->feedback.modify([&](Feedback& record) { record.subject = text; });
    }
  }));
  cancellables_.push_back(name.subscribe([weak](const std::string& text) {
    if (auto self = weak.lock()) {
      self->feedback.modify([&](Feedback& record) {
        if (!record.contactInformation) {
          record.contactInformation = Feedback::ContactInformation{text, ""};
        } else {
          record.contactInformation->name = text;
        }
      });
    }
  }));
  cancellables_.push_back(email.subscribe([weak](const std::string& text) {
    if (auto self = weak.lock()) {
      self->feedback.modify([&](Feedback& record) {
        if (!record.contactInformation) {
          record.contactInformation = Feedback::ContactInformation{"", text};
        } else {
          record.contactInformation->email = text;
        }
      });
    }
  }));
}

bool FeedbackFormViewModel::isValid() const {
  if (!config_) {
    return false;
  }
  const Feedback record = feedback.get();
  if (record.reason == Feedback::Reason::empty()) {
    return false;
  }
  if (record.reason.requiresFrequency.value_or(false)) {
    const auto placeholder = Feedback::ReproductionFrequency::empty();
    if (record.reproductionFrequency.id == placeholder.id &&
        record.reproductionFrequency.title == placeholder.title) {
      return false;
    }
  }
  if (record.messages.empty()) {
    return false;
  }
  const auto length = static_cast<std::int64_t>(detail::graphemeCount(record.messages[0].body));
  if (length <= config_->minMessageLength || length > config_->maxMessageLength) {
    return false;
  }
  return record.subject.has_value() && !record.subject->empty();
}

bool FeedbackFormViewModel::feedbackRequiresAnyDiagnostics() const {
  const auto reason = feedback.get().reason;
  return reason.systemProfile == Feedback::Requirement::required ||
         reason.crashLogs == Feedback::Requirement::required ||
         reason.appLogs == Feedback::Requirement::required;
}

}  // namespace tessaline
