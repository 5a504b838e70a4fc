#pragma once

#include <Tessaline/Cancellable.h>
#include <Tessaline/form/FeedbackFormViewModel.h>

#include <QDialog>

#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

// A feedback dialog bound to the library's form model. The widgets write what the user types into
// the model; everything the window shows comes from the model's published properties.
class FeedbackWindow : public QDialog {
 public:
  explicit FeedbackWindow(std::shared_ptr<tessaline::FeedbackFormViewModel> model,
                          QWidget* parent = nullptr);

 private:
  void buildWidgets();
  void bindInputs();
  void watchModel();
  void showReasons(const std::vector<tessaline::Feedback::Reason>& reasons);
  void showFrequencies(const std::vector<tessaline::Feedback::ReproductionFrequency>& frequencies);
  void showKnownIssues(const std::vector<tessaline::KnownIssue>& issues);
  void showDiagnostics(const std::vector<tessaline::DiagnosisItem>& items);
  void showAttachments(const std::vector<tessaline::ReportAttachment>& attachments);
  void showProgress(const tessaline::FeedbackFormViewModel::UploadProgress& progress);
  void showState();
  void stopRunningStep();
  void removeSelectedAttachment();

  std::shared_ptr<tessaline::FeedbackFormViewModel> model_;
  std::vector<tessaline::Cancellable> subscriptions_;
  bool sent_ = false;  // Retry is offered only for a report that was sent and failed

  QLabel* knownIssuesTitle_ = nullptr;
  QListWidget* knownIssues_ = nullptr;
  QCheckBox* acknowledged_ = nullptr;
  QComboBox* reason_ = nullptr;
  QComboBox* frequency_ = nullptr;
  QLineEdit* subject_ = nullptr;
  QPlainTextEdit* message_ = nullptr;
  QLineEdit* name_ = nullptr;
  QLineEdit* email_ = nullptr;
  QCheckBox* includeDiagnostics_ = nullptr;
  QTreeWidget* diagnostics_ = nullptr;
  QLabel* instructions_ = nullptr;
  QPushButton* done_ = nullptr;
  QListWidget* attachments_ = nullptr;
  QPushButton* addAttachment_ = nullptr;
  QPushButton* removeAttachment_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* state_ = nullptr;
  QPushButton* retry_ = nullptr;
  QPushButton* send_ = nullptr;
};
