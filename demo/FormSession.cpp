#include "FormSession.h"

#include <Tessaline/records/Config.h>
#include <Tessaline/records/ReportAttachment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/MainQueue.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string_view>
#include <utility>

#include <unistd.h>

namespace tessaline::demo {

namespace {

using State = FeedbackFormViewModel::State;
using Requirement = Feedback::Requirement;

void say(const std::string& text) {
  std::cout << text << std::endl;
}

void complain(const std::string& text) {
  std::cerr << "tessaline-demo: " << text << std::endl;
}

// "Uploading [#########-----------]  45% 4.1 of 9.0 MiB", redrawn in place on a terminal.
void showUploadProgress(const FeedbackFormViewModel::UploadProgress& progress) {
  constexpr std::size_t kWidth = 30;
  const double fraction = static_cast<double>(progress.bytesSent) /
                          static_cast<double>(std::max<std::uint64_t>(progress.bytesToSend, 1));
  const auto filled = static_cast<std::size_t>(fraction * kWidth);
  const auto mib = [](std::uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); };
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "] %3d%% %.1f of %.1f MiB",
                static_cast<int>(fraction * 100), mib(progress.bytesSent),
                mib(progress.bytesToSend));
  std::cout << "\rUploading [" << std::string(filled, '#') << std::string(kWidth - filled, '-')
            << numbers << (progress.bytesSent == progress.bytesToSend ? "\n" : "") << std::flush;
}

std::string trimmed(const std::string& text) {
  const auto begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) {
    return {};
  }
  const auto end = text.find_last_not_of(" \t");
  return text.substr(begin, end - begin + 1);
}

std::optional<std::int64_t> parseId(const std::string& text) {
  const std::string digits = trimmed(text);
  std::int64_t value = 0;
  const auto* end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return value;
}

std::string requirementSummary(const Feedback::Reason& reason) {
  std::vector<std::string> required;
  if (reason.systemProfile == Requirement::required) {
    required.push_back("system profile");
  }
  if (reason.appLogs == Requirement::required) {
    required.push_back("app logs");
  }
  if (reason.crashLogs == Requirement::required) {
    required.push_back("crash logs");
  }
  std::string text;
  if (!required.empty()) {
    text = "collects ";
    for (std::size_t index = 0; index < required.size(); ++index) {
      text += (index == 0 ? "" : ", ") + required[index];
    }
  }
  if (reason.requiresFrequency.value_or(false)) {
    text += (text.empty() ? "" : "; ") + std::string("asks how often");
  }
  return text.empty() ? std::string() : " [" + text + "]";
}

std::string itemStateText(const DiagnosisItem::State& state) {
  switch (state.kind()) {
    case DiagnosisItem::State::Case::idle:
      return "idle";
    case DiagnosisItem::State::Case::running:
      return "running";
    case DiagnosisItem::State::Case::finished:
      return "finished (" + std::to_string(state.payload()->size()) + " bytes)";
    case DiagnosisItem::State::Case::failed:
      return "failed";
  }
  return "unknown";
}

bool isPlaceholderFrequency(const Feedback::ReproductionFrequency& frequency) {
  return frequency.id == -1 && frequency.title == "Select";
}

bool wantsYes(const std::string& answer, bool byDefault) {
  const std::string text = trimmed(answer);
  if (text.empty()) {
    return byDefault;
  }
  const char first = static_cast<char>(std::tolower(static_cast<unsigned char>(text.front())));
  return first == 'y';
}

}  // namespace

std::optional<std::string> reportIdFromDescription(const std::string& text) {
  static const std::string marker = "It was assigned the ID ";
  const auto start = text.find(marker);
  if (start == std::string::npos) {
    return std::nullopt;
  }
  std::string id = text.substr(start + marker.size());
  id = id.substr(0, id.find('\n'));
  if (id.empty() || id.back() != '.') {
    return std::nullopt;
  }
  id.pop_back();
  return id.empty() ? std::nullopt : std::optional<std::string>(id);
}

std::shared_ptr<FormSession> FormSession::make(DemoOptions options,
                                               std::shared_ptr<FeedbackFormViewModel> model) {
  return std::make_shared<FormSession>(Token(), std::move(options), std::move(model));
}

FormSession::FormSession(Token, DemoOptions options, std::shared_ptr<FeedbackFormViewModel> model)
    : options_(std::move(options)),
      model_(std::move(model)),
      log_(std::string(platform::kLogSubsystem), "TessalineDemo") {}

void FormSession::start() {
  watchModel();
  model_->loadForm();
}

void FormSession::watchModel() {
  const std::weak_ptr<FormSession> weak = weak_from_this();
  subscriptions_.push_back(model_->state.subscribe([weak](const State& state) {
    if (auto self = weak.lock()) {
      self->stateChanged(state);
    }
  }));
  subscriptions_.push_back(model_->stateDescription.subscribe([weak](const std::string& text) {
    auto self = weak.lock();
    if (!self || text == self->lastStateDescription_) {
      return;
    }
    self->lastStateDescription_ = text;
    say("Status: " + text);
  }));
  if (isatty(STDOUT_FILENO) == 1) {
    subscriptions_.push_back(
        model_->uploadProgress.subscribe([](const FeedbackFormViewModel::UploadProgress& value) {
          if (value.bytesToSend > 0) {
            showUploadProgress(value);
          }
        }));
  }
  subscriptions_.push_back(
      model_->diagnosticItems.subscribe([weak](const std::vector<DiagnosisItem>& items) {
        if (auto self = weak.lock()) {
          self->itemsChanged(items);
        }
      }));
  // The form binds its text fields once the configuration is accepted; from then on the record
  // has a subject. The rest runs as its own task, not inside the form's loading.
  subscriptions_.push_back(model_->feedback.subscribe([weak](const Feedback& feedback) {
    auto self = weak.lock();
    if (!self || self->loaded_ || !feedback.subject) {
      return;
    }
    self->loaded_ = true;
    platform::MainQueue::async([weak] {
      if (auto self = weak.lock()) {
        self->formLoaded();
      }
    });
  }));
}

void FormSession::stateChanged(const State& state) {
  if (lastState_ == state) {
    return;
  }
  lastState_ = state;
  say("State: " + state.description());
  if (state.kind() == State::Case::submitted || state.kind() == State::Case::failed) {
    const std::weak_ptr<FormSession> weak = weak_from_this();
    const int code = state.kind() == State::Case::submitted ? kExitSubmitted : kExitFailed;
    platform::MainQueue::async([weak, code] {
      if (auto self = weak.lock()) {
        self->finish(code);
      }
    });
  }
}

void FormSession::itemsChanged(const std::vector<DiagnosisItem>& items) {
  for (const DiagnosisItem& item : items) {
    const auto kind = item.state.kind();
    const auto known = itemStates_.find(item.id);
    if (known != itemStates_.end() && known->second == kind) {
      continue;
    }
    itemStates_[item.id] = kind;
    say("Diagnostics: " + item.id + ": " + itemStateText(item.state));
    if (item.state.isRunning()) {
      if (item.instructions) {
        say("  " + *item.instructions);
      }
      if (item.stop) {
        captureStarted(item.id);
      }
    } else {
      waitingForDone_.erase(item.id);
    }
  }
}

void FormSession::captureStarted(const std::string& id) {
  log_.log("Capturing the system log for %{public}@", id);
  if (options_.interactive) {
    // Lines typed before the capture began are not a "Done".
    typedLines_.clear();
    waitingForDone_.insert(id);
    say("  Reproduce the issue now, then press Enter (Done).");
    if (inputEnded_) {
      // No one is left to press Enter; stop outside the runner's publication.
      const std::weak_ptr<FormSession> weak = weak_from_this();
      platform::MainQueue::async([weak] {
        if (auto self = weak.lock()) {
          self->stopRunningCaptures();
        }
      });
    }
    return;
  }
  std::ostringstream seconds;
  seconds << options_.stopCaptureAfterSeconds;
  say("  The capture stops after " + seconds.str() + " s.");
  const std::weak_ptr<FormSession> weak = weak_from_this();
  const auto delay = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(options_.stopCaptureAfterSeconds));
  platform::MainQueue::asyncAfter(delay, [weak, id] {
    if (auto self = weak.lock()) {
      self->stopCapture(id);
    }
  });
}

void FormSession::stopCapture(const std::string& id) {
  waitingForDone_.erase(id);
  for (const DiagnosisItem& item : model_->diagnosticItems.get()) {
    if (item.id == id && item.state.isRunning() && item.stop) {
      say("Diagnostics: " + id + ": Done");
      const auto stop = item.stop;
      stop();
    }
  }
}

void FormSession::stopRunningCaptures() {
  const std::set<std::string> waiting = std::exchange(waitingForDone_, {});
  for (const std::string& id : waiting) {
    stopCapture(id);
  }
}

void FormSession::formLoaded() {
  printForm();
  if (options_.interactive) {
    askReason();
  } else {
    fillFromOptions();
  }
}

void FormSession::printForm() const {
  const auto issues = model_->knownIssues.get();
  if (!issues.empty()) {
    say("Known issues:");
    for (const KnownIssue& issue : issues) {
      say("  - " + issue.message + " (" + issue.id + ")");
    }
  }
  say("Reasons:");
  for (const Feedback::Reason& reason : model_->reasons.get()) {
    say("  " + std::to_string(reason.id) + ": " + reason.title + requirementSummary(reason));
  }
  say("Frequencies:");
  for (const Feedback::ReproductionFrequency& frequency : model_->frequencies.get()) {
    say("  " + std::to_string(frequency.id) + ": " + frequency.title);
  }
}

void FormSession::fillFromOptions() {
  if (options_.reason) {
    const auto reasons = model_->reasons.get();
    const auto found = std::find_if(reasons.begin(), reasons.end(), [&](const auto& reason) {
      return reason.id == *options_.reason;
    });
    if (found == reasons.end()) {
      return usageError("unknown reason id " + std::to_string(*options_.reason) +
                        "; the form offers the reasons listed above");
    }
    model_->feedback.modify([&](Feedback& feedback) { feedback.reason = *found; });
  }
  if (options_.frequency) {
    const auto frequencies = model_->frequencies.get();
    const auto found = std::find_if(frequencies.begin(), frequencies.end(),
                                    [&](const auto& f) { return f.id == *options_.frequency; });
    if (found == frequencies.end()) {
      return usageError("unknown frequency id " + std::to_string(*options_.frequency) +
                        "; the form offers the frequencies listed above");
    }
    model_->feedback.modify([&](Feedback& feedback) { feedback.reproductionFrequency = *found; });
  }
  if (options_.subject) {
    model_->subject.set(*options_.subject);
  }
  if (options_.message) {
    model_->message.set(*options_.message);
  }
  if (options_.name) {
    model_->name.set(*options_.name);
  }
  if (options_.email) {
    model_->email.set(*options_.email);
  }
  for (const std::string& path : options_.attachments) {
    attach(path);
  }
  model_->diagnosticsOptIn.set(options_.diagnostics);
  validateAndSubmit();
}

void FormSession::attach(const std::string& path) {
  const Url url = Url::fileURL(path);
  const ReportAttachment attachment(url.deletingPathExtensionOfLastComponent(),
                                    ReportAttachment::file(url), url.pathExtension());
  const Result<Unit> added = model_->addCustomAttachment(attachment);
  if (!added) {
    complain("cannot attach " + path + ": " + added.error().description());
    return;
  }
  say("Attached: " + url.path());
}

void FormSession::validateAndSubmit() {
  if (model_->isValid()) {
    submitted_ = true;
    model_->submit();
    return;
  }
  const std::weak_ptr<FormSession> weak = weak_from_this();
  explainInvalid([weak](const std::string& why) {
    auto self = weak.lock();
    if (!self) {
      return;
    }
    if (!self->options_.interactive) {
      return self->usageError("the form is not valid: " + why);
    }
    say("The form cannot be sent yet: " + why);
    self->askMessage([weak] {
      if (auto self = weak.lock()) {
        self->validateAndSubmit();
      }
    });
  });
}

void FormSession::explainInvalid(std::function<void(std::string)> explained) {
  const Feedback feedback = model_->feedback.get();
  const bool flags = !options_.interactive;
  if (feedback.reason == Feedback::Reason::empty()) {
    return explained(flags ? "no reason is chosen (give --reason ID)" : "no reason is chosen");
  }
  if (feedback.reason.requiresFrequency.value_or(false) &&
      isPlaceholderFrequency(feedback.reproductionFrequency)) {
    return explained("the reason \"" + feedback.reason.title + "\" needs a frequency" +
                     (flags ? " (give --frequency ID)" : ""));
  }
  if (!feedback.subject || feedback.subject->empty()) {
    return explained(flags ? "the subject is empty (give --subject TEXT)" : "the subject is empty");
  }
  if (feedback.messages.empty()) {
    return explained("there is no message");
  }
  // What is left is the message length; the limits are the service's.
  const std::weak_ptr<FormSession> weak = weak_from_this();
  auto reply = std::make_shared<std::function<void(std::string)>>(std::move(explained));
  configRequest_ = model_->client()->fetchConfig().subscribe(
      [weak, reply](Config config) {
        platform::MainQueue::async([weak, reply, config = std::move(config)] {
          if (weak.lock()) {
            (*reply)("the message must be longer than " + std::to_string(config.minMessageLength) +
                     " and at most " + std::to_string(config.maxMessageLength) +
                     " characters long");
          }
        });
      },
      [weak, reply](const std::optional<Error>& error) {
        if (!error) {
          return;
        }
        platform::MainQueue::async([weak, reply] {
          if (weak.lock()) {
            (*reply)("the message is too short or too long for this form");
          }
        });
      });
}

void FormSession::ask(std::string prompt, Answer answer) {
  std::cout << prompt << std::flush;
  question_ = Question{std::move(prompt), std::move(answer)};
  deliverTypedLines();
}

void FormSession::deliverTypedLines() {
  if (delivering_) {
    return;  // the loop below picks up the question just asked
  }
  delivering_ = true;
  while (question_ && !typedLines_.empty() && !exitCode_) {
    const std::string line = typedLines_.front();
    typedLines_.pop_front();
    const Question question = *std::exchange(question_, std::nullopt);
    question.answer(line);
  }
  delivering_ = false;
  if (question_ && typedLines_.empty() && inputEnded_ && !exitCode_) {
    std::cout << std::endl;
    usageError("the input ended before the form was complete");
  }
}

void FormSession::receiveLine(const std::optional<std::string>& line) {
  if (exitCode_) {
    return;
  }
  if (!line) {
    inputEnded_ = true;
  }
  if (!waitingForDone_.empty()) {
    // Enter (or the end of the input) while the log is being captured: "Done".
    typedLines_.clear();
    stopRunningCaptures();
    return;
  }
  if (line && !submitted_) {
    typedLines_.push_back(*line);
  }
  deliverTypedLines();
}

void FormSession::askReason() {
  ask("Reason (number): ", [this](const std::string& answer) {
    const auto id = parseId(answer);
    const auto reasons = model_->reasons.get();
    const auto found = std::find_if(reasons.begin(), reasons.end(),
                                    [&](const auto& reason) { return id && reason.id == *id; });
    if (found == reasons.end()) {
      say("Please give one of the reason numbers listed above.");
      return askReason();
    }
    model_->feedback.modify([&](Feedback& feedback) { feedback.reason = *found; });
    askFrequency();
  });
}

void FormSession::askFrequency() {
  const bool required = model_->feedback.get().reason.requiresFrequency.value_or(false);
  ask(required ? "How often does it happen (number): "
               : "How often does it happen (number, Enter to skip): ",
      [this, required](const std::string& answer) {
        if (!required && trimmed(answer).empty()) {
          return askSubject();
        }
        const auto id = parseId(answer);
        const auto frequencies = model_->frequencies.get();
        const auto found = std::find_if(frequencies.begin(), frequencies.end(),
                                        [&](const auto& f) { return id && f.id == *id; });
        if (found == frequencies.end()) {
          say("Please give one of the frequency numbers listed above.");
          return askFrequency();
        }
        model_->feedback.modify(
            [&](Feedback& feedback) { feedback.reproductionFrequency = *found; });
        askSubject();
      });
}

void FormSession::askSubject() {
  ask("Subject: ", [this](const std::string& answer) {
    if (answer.empty()) {
      say("The subject must not be empty.");
      return askSubject();
    }
    model_->subject.set(answer);
    askMessage([this] { askName(); });
  });
}

void FormSession::askMessage(std::function<void()> then) {
  messageDraft_.clear();
  messageDone_ = std::move(then);
  say("Message (finish with an empty line):");
  askMessageLine();
}

void FormSession::askMessageLine() {
  ask("> ", [this](const std::string& line) {
    if (!line.empty()) {
      messageDraft_ += (messageDraft_.empty() ? "" : "\n") + line;
      return askMessageLine();
    }
    if (messageDraft_.empty()) {
      say("The message must not be empty.");
      return askMessageLine();
    }
    model_->message.set(messageDraft_);
    const auto done = std::exchange(messageDone_, nullptr);
    done();
  });
}

void FormSession::askName() {
  ask("Your name (Enter to skip): ", [this](const std::string& answer) {
    model_->name.set(trimmed(answer));
    askEmail();
  });
}

void FormSession::askEmail() {
  ask("Your e-mail address (Enter to skip): ", [this](const std::string& answer) {
    model_->email.set(trimmed(answer));
    for (const std::string& path : options_.attachments) {
      attach(path);
    }
    askAttachment();
  });
}

void FormSession::askAttachment() {
  ask("Attach a file (path, Enter when done): ", [this](const std::string& answer) {
    const std::string path = trimmed(answer);
    if (path.empty()) {
      return askDiagnostics();
    }
    attach(path);
    askAttachment();
  });
}

void FormSession::askDiagnostics() {
  if (!model_->feedbackRequiresAnyDiagnostics()) {
    return validateAndSubmit();
  }
  ask("This reason collects diagnostics from this computer. Collect them? [Y/n]: ",
      [this](const std::string& answer) {
        model_->diagnosticsOptIn.set(wantsYes(answer, true));
        validateAndSubmit();
      });
}

void FormSession::usageError(const std::string& message) {
  complain(message);
  finish(kExitUsage);
}

void FormSession::finish(int code) {
  if (exitCode_) {
    return;
  }
  exitCode_ = code;
  question_.reset();
  const std::string description = model_->stateDescription.get();
  const State state = model_->state.get();
  if (!description.empty()) {
    say("");
    say(description);
  }
  if (code == kExitSubmitted) {
    if (const auto id = reportIdFromDescription(description)) {
      log_.log("Submitted report %{public}@", *id);
      say("Report ID: " + *id);
    }
  } else if (state.kind() == State::Case::failed && state.failure()) {
    complain(state.failure()->message);
  }
  platform::MainQueue::stop();
}

}  // namespace tessaline::demo
