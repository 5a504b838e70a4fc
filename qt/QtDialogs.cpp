#include "QtDialogs.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

namespace tessaline::qt {

namespace {

bool onApplicationThread() {
  auto* application = QCoreApplication::instance();
  return application != nullptr && QThread::currentThread() == application->thread();
}

}  // namespace

Result<std::optional<std::vector<Url>>> QtFilePanel::runModal(
    const platform::OpenPanelOptions& options) {
  if (!onApplicationThread()) {
    return Error(Error::Kind::generic, "The open panel can only be shown on the Qt thread");
  }
  QFileDialog dialog(parent_.data());
  dialog.setFileMode(options.allowsMultipleSelection ? QFileDialog::ExistingFiles
                                                     : QFileDialog::ExistingFile);
  if (!options.allowedFileTypes.empty()) {
    QStringList patterns;
    for (const auto& type : options.allowedFileTypes) {
      patterns << "*." + QString::fromStdString(type);
    }
    dialog.setNameFilter(
        QCoreApplication::translate("Tessaline", "Supported files (%1)").arg(patterns.join(' ')));
  }
  if (!options.prompt.empty()) {
    dialog.setLabelText(QFileDialog::Accept, QString::fromStdString(options.prompt));
  }
  if (dialog.exec() != QDialog::Accepted) {
    return std::optional<std::vector<Url>>();
  }
  std::vector<Url> chosen;
  for (const auto& file : dialog.selectedFiles()) {
    chosen.push_back(Url::fileURL(file.toStdString()));
  }
  return std::optional(std::move(chosen));
}

int QtAlert::runModal(const platform::AlertContent& content) {
  if (!onApplicationThread()) {
    qWarning("%s: %s", content.messageText.c_str(), content.informativeText.c_str());
    return 0;
  }
  QMessageBox box(QMessageBox::Warning, QString::fromStdString(content.messageText),
                  QString::fromStdString(content.messageText), QMessageBox::NoButton,
                  parent_.data());
  box.setInformativeText(QString::fromStdString(content.informativeText));
  box.setTextFormat(Qt::PlainText);  // for both texts, which may come from the service
  const auto labels = content.buttons.empty() ? std::vector<std::string>{"OK"} : content.buttons;
  std::vector<QPushButton*> buttons;
  for (std::size_t index = 0; index < labels.size(); ++index) {
    const auto role = index == 0   ? QMessageBox::AcceptRole
                      : index == 1 ? QMessageBox::RejectRole
                                   : QMessageBox::ActionRole;
    buttons.push_back(box.addButton(QString::fromStdString(labels[index]), role));
  }
  box.setDefaultButton(buttons.front());
  box.exec();
  for (std::size_t index = 0; index < buttons.size(); ++index) {
    if (box.clickedButton() == buttons[index]) {
      return static_cast<int>(index);
    }
  }
  // Closed without a button (Escape on a one-button alert): the cancel button when there is one.
  return labels.size() > 1 ? 1 : 0;
}

}  // namespace tessaline::qt
