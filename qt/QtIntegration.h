#pragma once

#include <memory>

class QWidget;

namespace tessaline::qt {

// Binds the library to the running QApplication: main-queue tasks run on Qt's event loop in the
// order they were queued, the open panel and alerts are Qt dialogs (over `dialogParent` when
// given), and the environment summary lists the screens QScreen knows. Make it on the
// application's thread once the QApplication exists; dropping it restores the defaults.
class QtIntegration {
 public:
  explicit QtIntegration(QWidget* dialogParent = nullptr);
  ~QtIntegration();
  QtIntegration(const QtIntegration&) = delete;
  QtIntegration& operator=(const QtIntegration&) = delete;

  // Where the tasks go: an object of the application's thread, or nothing once this is gone.
  struct Receiver;

 private:
  std::shared_ptr<Receiver> receiver_;
};

}  // namespace tessaline::qt
