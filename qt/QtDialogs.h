#pragma once

#include <platform/FilePanel.h>

#include <QPointer>
#include <QWidget>

namespace tessaline::qt {

// The open panel as a QFileDialog. Shown only on the application's thread.
class QtFilePanel final : public platform::FilePanel {
 public:
  explicit QtFilePanel(QWidget* parent) : parent_(parent) {}
  Result<std::optional<std::vector<Url>>> runModal(
      const platform::OpenPanelOptions& options) override;

 private:
  QPointer<QWidget> parent_;
};

// Alerts as a QMessageBox; the first button is the default one.
class QtAlert final : public platform::Alert {
 public:
  explicit QtAlert(QWidget* parent) : parent_(parent) {}
  int runModal(const platform::AlertContent& content) override;

 private:
  QPointer<QWidget> parent_;
};

}  // namespace tessaline::qt
