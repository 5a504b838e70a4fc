#include "FeedbackWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

using tessaline::DiagnosisItem;
using tessaline::Feedback;
using tessaline::FeedbackFormViewModel;
using State = FeedbackFormViewModel::State;

namespace {

QString text(const std::string& value) {
  return QString::fromStdString(value);
}

QString stateText(const DiagnosisItem::State& state) {
  switch (state.kind()) {
    case DiagnosisItem::State::Case::idle:
      return QObject::tr("Waiting");
    case DiagnosisItem::State::Case::running:
      return QObject::tr("Running…");
    case DiagnosisItem::State::Case::finished:
      return QObject::tr("Collected");
    case DiagnosisItem::State::Case::failed:
      return QObject::tr("Failed");
  }
  return {};
}

}  // namespace

FeedbackWindow::FeedbackWindow(std::shared_ptr<FeedbackFormViewModel> model, QWidget* parent)
    : QDialog(parent), model_(std::move(model)) {
  setWindowTitle(tr("Send Feedback"));
  buildWidgets();
  bindInputs();
  watchModel();
}

void FeedbackWindow::buildWidgets() {
  // Named so that tests and accessibility tools can find them.
  const auto named = [](auto* widget, const char* name) {
    widget->setObjectName(name);
    return widget;
  };
  knownIssuesTitle_ = new QLabel(tr("Known issues that may be what you see:"), this);
  knownIssues_ = named(new QListWidget(this), "knownIssues");
  knownIssues_->setMaximumHeight(60);
  acknowledged_ = named(new QCheckBox(tr("My problem is not one of these"), this), "acknowledged");
  reason_ = named(new QComboBox(this), "reason");
  frequency_ = named(new QComboBox(this), "frequency");
  subject_ = named(new QLineEdit(this), "subject");
  message_ = named(new QPlainTextEdit(this), "message");
  message_->setTabChangesFocus(true);  // Tab moves on, as in every other field
  message_->setPlainText(text(model_->message.get()));
  name_ = named(new QLineEdit(this), "name");
  email_ = named(new QLineEdit(this), "email");
  includeDiagnostics_ =
      named(new QCheckBox(tr("Include diagnostics (system profile, logs, crash reports)"), this),
            "includeDiagnostics");
  includeDiagnostics_->setChecked(model_->diagnosticsOptIn.get());
  diagnostics_ = named(new QTreeWidget(this), "diagnostics");
  diagnostics_->setHeaderLabels({tr("Diagnostic"), tr("State")});
  diagnostics_->setRootIsDecorated(false);
  diagnostics_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  diagnostics_->setMinimumHeight(110);
  diagnostics_->setMaximumHeight(130);
  instructions_ = named(new QLabel(this), "instructions");
  instructions_->setWordWrap(true);
  done_ = named(new QPushButton(tr("Done"), this), "done");
  done_->setEnabled(false);
  attachments_ = named(new QListWidget(this), "attachments");
  attachments_->setMaximumHeight(80);
  addAttachment_ = named(new QPushButton(tr("Add…"), this), "addAttachment");
  removeAttachment_ = named(new QPushButton(tr("Remove"), this), "removeAttachment");
  progress_ = named(new QProgressBar(this), "progress");
  progress_->setRange(0, 1000);
  progress_->setVisible(false);
  state_ = named(new QLabel(this), "state");
  state_->setWordWrap(true);
  state_->setTextFormat(Qt::PlainText);  // texts from the service are shown, never interpreted
  state_->setTextInteractionFlags(Qt::TextSelectableByMouse);  // the id can be copied
  retry_ = named(new QPushButton(tr("Retry"), this), "retry");
  retry_->setVisible(false);
  send_ = named(new QPushButton(tr("Send"), this), "send");
  send_->setDefault(true);
  send_->setEnabled(false);

  auto* form = new QFormLayout();
  form->addRow(tr("Reason:"), reason_);
  form->addRow(tr("How often:"), frequency_);
  form->addRow(tr("Subject:"), subject_);
  form->addRow(tr("Message:"), message_);
  form->addRow(tr("Name:"), name_);
  form->addRow(tr("E-mail:"), email_);

  auto* diagnosticsRow = new QHBoxLayout();
  diagnosticsRow->addWidget(instructions_, 1);
  diagnosticsRow->addWidget(done_);
  auto* attachmentButtons = new QVBoxLayout();
  attachmentButtons->addWidget(addAttachment_);
  attachmentButtons->addWidget(removeAttachment_);
  attachmentButtons->addStretch();
  auto* attachmentRow = new QHBoxLayout();
  attachmentRow->addWidget(attachments_, 1);
  attachmentRow->addLayout(attachmentButtons);
  auto* buttons = new QHBoxLayout();
  buttons->addStretch();
  buttons->addWidget(retry_);
  buttons->addWidget(send_);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(knownIssuesTitle_);
  layout->addWidget(knownIssues_);
  layout->addWidget(acknowledged_);
  layout->addLayout(form);
  layout->addWidget(includeDiagnostics_);
  layout->addWidget(diagnostics_);
  layout->addLayout(diagnosticsRow);
  layout->addWidget(new QLabel(tr("Attachments:"), this));
  layout->addLayout(attachmentRow);
  layout->addWidget(progress_);
  layout->addWidget(state_);
  layout->addLayout(buttons);

  // Top to bottom, as the user reads the form.
  const QWidget* order[] = {
      acknowledged_,       reason_, frequency_,   subject_,       message_,          name_,  email_,
      includeDiagnostics_, done_,   attachments_, addAttachment_, removeAttachment_, retry_, send_};
  for (std::size_t index = 0; index + 1 < std::size(order); ++index) {
    setTabOrder(const_cast<QWidget*>(order[index]), const_cast<QWidget*>(order[index + 1]));
  }
  resize(560, 720);
}

void FeedbackWindow::bindInputs() {
  connect(reason_, &QComboBox::currentIndexChanged, this, [this](int index) {
    const auto reasons = model_->reasons.get();
    // Entry 0 is the "Select" placeholder.
    const auto chosen = index >= 1 && static_cast<std::size_t>(index) <= reasons.size()
                            ? reasons[static_cast<std::size_t>(index - 1)]
                            : Feedback::Reason::empty();
    frequency_->setEnabled(chosen.requiresFrequency.value_or(false));
    model_->feedback.modify([&](Feedback& feedback) { feedback.reason = chosen; });
  });
  connect(frequency_, &QComboBox::currentIndexChanged, this, [this](int index) {
    const auto frequencies = model_->frequencies.get();
    const auto chosen = index >= 1 && static_cast<std::size_t>(index) <= frequencies.size()
                            ? frequencies[static_cast<std::size_t>(index - 1)]
                            : Feedback::ReproductionFrequency::empty();
    model_->feedback.modify([&](Feedback& feedback) { feedback.reproductionFrequency = chosen; });
  });
  connect(subject_, &QLineEdit::textChanged, this,
          [this](const QString& value) { model_->subject.set(value.toStdString()); });
  connect(message_, &QPlainTextEdit::textChanged, this,
          [this] { model_->message.set(message_->toPlainText().toStdString()); });
  connect(name_, &QLineEdit::textChanged, this,
          [this](const QString& value) { model_->name.set(value.toStdString()); });
  connect(email_, &QLineEdit::textChanged, this,
          [this](const QString& value) { model_->email.set(value.toStdString()); });
  connect(acknowledged_, &QCheckBox::toggled, this,
          [this](bool on) { model_->knownIssuesAcknowledged.set(on); });
  connect(includeDiagnostics_, &QCheckBox::toggled, this,
          [this](bool on) { model_->diagnosticsOptIn.set(on); });
  connect(done_, &QPushButton::clicked, this, &FeedbackWindow::stopRunningStep);
  connect(addAttachment_, &QPushButton::clicked, this, [this] { model_->addAttachment(); });
  connect(removeAttachment_, &QPushButton::clicked, this,
          &FeedbackWindow::removeSelectedAttachment);
  connect(send_, &QPushButton::clicked, this, [this] {
    if (model_->isValid()) {
      sent_ = true;
      model_->submit();
    }
  });
  connect(retry_, &QPushButton::clicked, this, [this] { model_->retry(); });
}

void FeedbackWindow::watchModel() {
  // The model publishes on the main queue, which runs on this window's event loop.
  subscriptions_.push_back(model_->reasons.subscribe([this](const auto& v) { showReasons(v); }));
  subscriptions_.push_back(
      model_->frequencies.subscribe([this](const auto& v) { showFrequencies(v); }));
  subscriptions_.push_back(
      model_->knownIssues.subscribe([this](const auto& v) { showKnownIssues(v); }));
  subscriptions_.push_back(
      model_->diagnosticItems.subscribe([this](const auto& v) { showDiagnostics(v); }));
  subscriptions_.push_back(
      model_->customAttachments.subscribe([this](const auto& v) { showAttachments(v); }));
  subscriptions_.push_back(model_->uploadProgress.subscribe([this](const auto& v) {
    showProgress(v);
    showState();
  }));
  subscriptions_.push_back(model_->state.subscribe([this](const auto&) { showState(); }));
  subscriptions_.push_back(
      model_->stateDescription.subscribe([this](const auto&) { showState(); }));
  subscriptions_.push_back(model_->feedback.subscribe([this](const auto&) { showState(); }));
}

void FeedbackWindow::showReasons(const std::vector<Feedback::Reason>& reasons) {
  const QSignalBlocker blocker(reason_);
  reason_->clear();
  reason_->addItem(tr("Select"));
  for (const auto& reason : reasons) {
    reason_->addItem(text(reason.title));
  }
}

void FeedbackWindow::showFrequencies(
    const std::vector<Feedback::ReproductionFrequency>& frequencies) {
  const QSignalBlocker blocker(frequency_);
  frequency_->clear();
  frequency_->addItem(tr("Select"));
  for (const auto& frequency : frequencies) {
    frequency_->addItem(text(frequency.title));
  }
  frequency_->setEnabled(model_->feedback.get().reason.requiresFrequency.value_or(false));
}

void FeedbackWindow::showKnownIssues(const std::vector<tessaline::KnownIssue>& issues) {
  knownIssues_->clear();
  for (const auto& issue : issues) {
    knownIssues_->addItem(text(issue.message));
  }
  const bool any = !issues.empty();
  knownIssuesTitle_->setVisible(any);
  knownIssues_->setVisible(any);
  acknowledged_->setVisible(any);
}

void FeedbackWindow::showDiagnostics(const std::vector<DiagnosisItem>& items) {
  diagnostics_->clear();
  QString instructions;
  bool stoppable = false;
  for (const auto& item : items) {
    diagnostics_->addTopLevelItem(new QTreeWidgetItem({text(item.id), stateText(item.state)}));
    if (item.state.isRunning() && item.stop) {
      stoppable = true;
      instructions = text(item.instructions.value_or("Press Done when you are finished."));
    }
  }
  instructions_->setText(instructions);
  done_->setEnabled(stoppable);
}

void FeedbackWindow::showAttachments(const std::vector<tessaline::ReportAttachment>& attachments) {
  attachments_->clear();
  for (const auto& attachment : attachments) {
    const auto* url = attachment.fileURL();
    attachments_->addItem(text(url != nullptr ? url->path() : attachment.id));
  }
  removeAttachment_->setEnabled(!attachments.empty());
}

void FeedbackWindow::showProgress(const FeedbackFormViewModel::UploadProgress& progress) {
  const double fraction = progress.bytesToSend == 0 ? 0
                                                    : static_cast<double>(progress.bytesSent) /
                                                          static_cast<double>(progress.bytesToSend);
  progress_->setValue(static_cast<int>(fraction * 1000));
  progress_->setFormat(
      tr("%1 of %2 KiB sent").arg(progress.bytesSent / 1024).arg(progress.bytesToSend / 1024));
}

void FeedbackWindow::showState() {
  const State state = model_->state.get();
  const bool idle = state.kind() == State::Case::idle;
  for (QWidget* input : std::initializer_list<QWidget*>{
           acknowledged_, reason_, subject_, message_, name_, email_, includeDiagnostics_,
           attachments_, addAttachment_, removeAttachment_}) {
    input->setEnabled(idle);
  }
  frequency_->setEnabled(idle && model_->feedback.get().reason.requiresFrequency.value_or(false));
  removeAttachment_->setEnabled(idle && attachments_->count() > 0);
  send_->setEnabled(idle && model_->isValid());
  // Shown from the upload phase on; diagnostics have their own states above.
  progress_->setVisible(
      sent_ && model_->uploadProgress.get().bytesToSend > 0 &&
      (state.kind() == State::Case::loading || state.kind() == State::Case::submitted));
  retry_->setVisible(sent_ && state.kind() == State::Case::failed);
  if (const auto& failure = state.failure()) {
    state_->setText(text(failure->message));
  } else {
    state_->setText(text(model_->stateDescription.get()));
  }
}

void FeedbackWindow::stopRunningStep() {
  for (const auto& item : model_->diagnosticItems.get()) {
    if (item.state.isRunning() && item.stop) {
      item.stop();
    }
  }
}

void FeedbackWindow::removeSelectedAttachment() {
  const auto attachments = model_->customAttachments.get();
  const int row = attachments_->currentRow();
  if (row >= 0 && static_cast<std::size_t>(row) < attachments.size()) {
    model_->removeCustomAttachment(attachments[static_cast<std::size_t>(row)]);
  }
}
