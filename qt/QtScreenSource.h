#pragma once

#include <platform/Screens.h>

#include <QObject>

#include <mutex>

class QScreen;

namespace tessaline::qt {

// The screens QGuiApplication knows, the primary one first: name, size in device-independent
// pixels and device pixel ratio. Kept as a copy that the application's thread refreshes whenever
// a screen comes, goes or changes, so that any thread may read it.
class QtScreenSource final : public QObject, public platform::ScreenSource {
 public:
  QtScreenSource();
  std::vector<platform::Screen> screens() const override;

 private:
  void refresh();
  void watch(QScreen* screen);

  mutable std::mutex mutex_;
  std::vector<platform::Screen> screens_;
};

}  // namespace tessaline::qt
