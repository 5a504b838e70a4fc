#include "QtScreenSource.h"

#include <QGuiApplication>
#include <QScreen>

namespace tessaline::qt {

QtScreenSource::QtScreenSource() {
  connect(qGuiApp, &QGuiApplication::screenAdded, this, [this](QScreen* screen) {
    watch(screen);
    refresh();
  });
  connect(qGuiApp, &QGuiApplication::screenRemoved, this, &QtScreenSource::refresh);
  connect(qGuiApp, &QGuiApplication::primaryScreenChanged, this, &QtScreenSource::refresh);
  for (auto* screen : QGuiApplication::screens()) {
    watch(screen);
  }
  refresh();
}

std::vector<platform::Screen> QtScreenSource::screens() const {
  std::lock_guard lock(mutex_);
  return screens_;
}

void QtScreenSource::watch(QScreen* screen) {
  connect(screen, &QScreen::geometryChanged, this, &QtScreenSource::refresh);
  connect(screen, &QScreen::logicalDotsPerInchChanged, this, &QtScreenSource::refresh);
}

void QtScreenSource::refresh() {
  std::vector<platform::Screen> screens;
  const auto* primary = QGuiApplication::primaryScreen();
  for (const auto* screen : QGuiApplication::screens()) {
    platform::Screen entry;
    entry.localizedName = screen->name().toStdString();
    const auto size = screen->size();
    if (!size.isEmpty()) {
      entry.size = std::pair{static_cast<double>(size.width()), static_cast<double>(size.height())};
    }
    entry.backingScaleFactor = screen->devicePixelRatio();
    screens.insert(screen == primary ? screens.begin() : screens.end(), std::move(entry));
  }
  std::lock_guard lock(mutex_);
  screens_ = std::move(screens);
}

}  // namespace tessaline::qt
