// tessaline-qt-feedback: a Qt Widgets feedback window over the library's form model.
//
//   tessaline-qt-feedback [LOG FILE...]
//
// The service comes from TESSALINE_SERVICE_URL (or the build's default); the log files are those
// the application-log step attaches.
#include "FeedbackWindow.h"

#include <QtIntegration.h>

#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/MainBundle.h>

#include <QApplication>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  tessaline::platform::MainBundle::setInfoDictionary(
      {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
  std::vector<tessaline::Url> logs;
  for (int index = 1; index < argc; ++index) {
    logs.push_back(tessaline::Url::fileURL(argv[index]));
  }
  tessaline::ApplicationLogsCollectorStep::registerLogFileURLs(logs);

  auto client =
      std::make_shared<tessaline::FeedbackAPIClient>("stable", tessaline::Environment::current());
  auto model = tessaline::FeedbackFormViewModel::make(
      {tessaline::SystemProfileStep::kind(), tessaline::SystemLogsCollectorStep::kind(),
       tessaline::ApplicationLogsCollectorStep::kind(), tessaline::CollectCrashReportsStep::kind()},
      client);
  FeedbackWindow window(model);
  const tessaline::qt::QtIntegration integration(&window);
  model->loadForm();
  window.show();
  return application.exec();
}
