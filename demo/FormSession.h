#pragma once

#include "DemoOptions.h"

#include <Tessaline/Cancellable.h>
#include <Tessaline/diagnostics/DiagnosisItem.h>
#include <Tessaline/form/FeedbackFormViewModel.h>
#include <platform/Logger.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tessaline::demo {

// Drives one feedback form in the terminal, on the main queue: loads it, shows the reasons,
// frequencies and known issues, fills it from the flags or from the user's answers, submits it and
// prints every change of the form's state and diagnostics on the way. The session ends by setting
// its exit status and stopping the main queue.
class FormSession : public std::enable_shared_from_this<FormSession> {
  struct Token {
    explicit Token() = default;
  };

 public:
  static std::shared_ptr<FormSession> make(DemoOptions options,
                                           std::shared_ptr<FeedbackFormViewModel> model);
  FormSession(Token, DemoOptions options, std::shared_ptr<FeedbackFormViewModel> model);
  FormSession(const FormSession&) = delete;
  FormSession& operator=(const FormSession&) = delete;

  // Watches the model and loads the form. Call on the main queue before it runs.
  void start();
  // A line the user typed, or nothing at the end of the input (interactive sessions only).
  void receiveLine(const std::optional<std::string>& line);
  // Set once the session has ended.
  std::optional<int> exitCode() const { return exitCode_; }

 private:
  using Answer = std::function<void(const std::string&)>;
  struct Question {
    std::string prompt;
    Answer answer;
  };

  void watchModel();
  void stateChanged(const FeedbackFormViewModel::State& state);
  void itemsChanged(const std::vector<DiagnosisItem>& items);
  void captureStarted(const std::string& id);
  void stopCapture(const std::string& id);
  void stopRunningCaptures();

  void formLoaded();
  void printForm() const;
  void fillFromOptions();
  void attach(const std::string& path);
  void validateAndSubmit();
  void explainInvalid(std::function<void(std::string)> explained);

  // The interactive questions, in the order they are asked.
  void ask(std::string prompt, Answer answer);
  void deliverTypedLines();
  void askReason();
  void askFrequency();
  void askSubject();
  void askMessage(std::function<void()> then);
  void askMessageLine();
  void askName();
  void askEmail();
  void askAttachment();
  void askDiagnostics();

  void usageError(const std::string& message);
  void finish(int code);

  DemoOptions options_;
  std::shared_ptr<FeedbackFormViewModel> model_;
  platform::Logger log_;
  std::vector<Cancellable> subscriptions_;
  Cancellable configRequest_;

  bool loaded_ = false;
  bool submitted_ = false;
  std::optional<FeedbackFormViewModel::State> lastState_;
  std::string lastStateDescription_;
  std::map<std::string, DiagnosisItem::State::Case> itemStates_;
  std::set<std::string> waitingForDone_;  // running captures that end when the user says so

  std::optional<Question> question_;
  std::deque<std::string> typedLines_;
  bool inputEnded_ = false;
  bool delivering_ = false;
  std::string messageDraft_;
  std::function<void()> messageDone_;

  std::optional<int> exitCode_;
};

// The id in the thank-you text "...It was assigned the ID <id>.", or nothing.
std::optional<std::string> reportIdFromDescription(const std::string& text);

}  // namespace tessaline::demo
