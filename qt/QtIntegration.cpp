#include "QtIntegration.h"

#include "QtDialogs.h"
#include "QtScreenSource.h"

#include <platform/FilePanel.h>
#include <platform/MainQueue.h>
#include <platform/Screens.h>

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <mutex>

namespace tessaline::qt {

// Executors may still hold the receiver while the integration goes away, so its object is
// reached under a lock.
struct QtIntegration::Receiver {
  std::mutex mutex;
  QObject* object = nullptr;
};

namespace {

platform::MainQueue::Executor executorFor(std::shared_ptr<QtIntegration::Receiver> receiver) {
  return [receiver](platform::MainQueue::Task task) {
    std::unique_lock lock(receiver->mutex);
    if (receiver->object == nullptr) {
      lock.unlock();
      platform::MainQueue::async(std::move(task));  // back to the built-in queue
      return;
    }
    // Queued calls to one object are delivered in the order they were posted.
    QMetaObject::invokeMethod(receiver->object, std::move(task), Qt::QueuedConnection);
  };
}

}  // namespace

QtIntegration::QtIntegration(QWidget* dialogParent) : receiver_(std::make_shared<Receiver>()) {
  receiver_->object = new QObject();
  platform::MainQueue::setExecutor(executorFor(receiver_));
  platform::FilePanel::install(std::make_shared<QtFilePanel>(dialogParent));
  platform::Alert::install(std::make_shared<QtAlert>(dialogParent));
  platform::ScreenSource::install(std::make_shared<QtScreenSource>());
}

QtIntegration::~QtIntegration() {
  platform::ScreenSource::install(nullptr);
  platform::Alert::install(nullptr);
  platform::FilePanel::install(nullptr);
  platform::MainQueue::setExecutor({});
  QObject* object = nullptr;
  {
    std::lock_guard lock(receiver_->mutex);
    std::swap(object, receiver_->object);
  }
  // Tasks already posted run now rather than being lost with the object.
  QCoreApplication::sendPostedEvents(object, QEvent::MetaCall);
  delete object;
}

}  // namespace tessaline::qt
