// The Qt host: the main queue on Qt's loop, and the example window driven as a user would, against
// a real tessaline-service.
#include <FeedbackWindow.h>
#include <QtIntegration.h>

#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>

#include <QtTest>
#include <QtWidgets>

#include <optional>
#include <thread>

using namespace tessaline;
using Model = FeedbackFormViewModel;

class QtHostTest : public QObject {
  Q_OBJECT
  QTemporaryDir directory_;
  QProcess service_;
  std::optional<qt::QtIntegration> integration_;
  std::unique_ptr<FeedbackWindow> window_;

  QString path(const QString& name) const { return directory_.filePath(name); }
  template <class Widget>
  Widget* find(const char* name) const {
    return window_->findChild<Widget*>(name);
  }

  std::shared_ptr<Model> openWindow(const char* version, const char* build) {
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", version}, {"CFBundleVersion", build}});
    auto model =
        Model::make({SystemProfileStep::kind(), SystemLogsCollectorStep::kind(),
                     ApplicationLogsCollectorStep::kind(), CollectCrashReportsStep::kind()},
                    std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
    window_ = std::make_unique<FeedbackWindow>(model);
    window_->show();
    model->loadForm();
    return model;
  }

  void screenshot(const char* name) const {
    QDir().mkpath(TESSALINE_SCREENSHOT_DIR);
    QVERIFY(window_->grab().save(QString(TESSALINE_SCREENSHOT_DIR "/qt-%1.png").arg(name)));
  }

 private slots:
  void initTestCase() {
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QVERIFY(QDir(path("home")).mkpath("Library/Logs/DiagnosticReports"));
    qputenv("HOME", path("home").toUtf8());
    qputenv("XDG_CONFIG_HOME", path("home").toUtf8());
    service_.start(TESSALINE_SERVICE_BINARY,
                   {"--port", "0", "--data", path("data"), "--config", TESSALINE_SERVICE_CONFIG});
    QTRY_VERIFY_WITH_TIMEOUT(service_.canReadLine(), 60000);
    const auto port = QString(service_.readLine()).remove("listening on ").trimmed();
    qputenv("TESSALINE_SERVICE_URL", ("http://127.0.0.1:" + port + "/v1").toUtf8());
    integration_.emplace();
  }

  void cleanupTestCase() {
    window_.reset();
    integration_.reset();
    service_.terminate();
    service_.waitForFinished(30000);
  }

  // Tasks from any thread run on Qt's thread, each thread's in its order, each once.
  void mainQueueKeepsOrder() {
    std::vector<int> ran;
    const auto record = [&ran](int value) {
      return [&ran, value] {
        QCOMPARE(QThread::currentThread(), qApp->thread());
        ran.push_back(value);
      };
    };
    std::thread worker([&] {
      for (int index = 1000; index < 1500; ++index) {
        platform::MainQueue::async(record(index));
      }
    });
    for (int index = 0; index < 500; ++index) {
      platform::MainQueue::async(record(index));
    }
    worker.join();
    QTRY_COMPARE_WITH_TIMEOUT(ran.size(), std::size_t{1000}, 30000);
    std::stable_partition(ran.begin(), ran.end(), [](int value) { return value < 1000; });
    QVERIFY(std::adjacent_find(ran.begin(), ran.end(), std::greater_equal<>()) == ran.end());
  }

  // Fill, attach through the Qt open panel, send, stop the capture, see the id.
  void sendsReport() {
    QFile log(path("app.log"));
    QVERIFY(log.open(QIODevice::WriteOnly) && log.write("error: render stopped\n") > 0);
    log.close();
    ApplicationLogsCollectorStep::registerLogFileURLs({Url::fileURL(log.fileName().toStdString())});
    QFile steps(path("steps.txt"));
    QVERIFY(steps.open(QIODevice::WriteOnly) && steps.write(QByteArray(4 << 20, 's')) > 0);
    steps.close();

    auto model = openWindow("2.4.1", "310");
    const auto* screen = QGuiApplication::primaryScreen();  // the environment summary's screens
    QVERIFY(QString::fromStdString(model->basicEnvironmentInformation())
                .contains(QString("Screens: %1 1280x1024 (1x)").arg(screen->name())));
    QTRY_VERIFY_WITH_TIMEOUT(find<QComboBox>("reason")->count() > 1, 60000);
    QTest::keyClick(find<QComboBox>("reason"), Qt::Key_Down);  // requires every diagnostic
    QTest::keyClick(find<QComboBox>("frequency"), Qt::Key_Down);
    QTest::keyClicks(find<QLineEdit>("subject"), "Playback stops");
    QTest::keyClick(find<QPlainTextEdit>("message"), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(find<QPlainTextEdit>("message"), "Playback stops after a few seconds.");
    QTest::keyClicks(find<QLineEdit>("name"), "Qt User");
    QTest::keyClicks(find<QLineEdit>("email"), "qt@example.com");
    for (const int expected : {1, 0, 1}) {  // add, remove, add again
      QTimer answer;  // the panel is modal: it is answered from inside its own loop
      connect(&answer, &QTimer::timeout, [&] {
        auto* panel = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (panel != nullptr && panel->isVisible()) {
          answer.stop();
          auto* name = panel->findChild<QLineEdit*>("fileNameEdit");
          name->setText(steps.fileName());
          QTest::keyClick(name, Qt::Key_Return);
        }
      });
      answer.start(50);
      find<QListWidget>("attachments")->setCurrentRow(0);
      QTest::mouseClick(find<QPushButton>(expected == 1 ? "addAttachment" : "removeAttachment"),
                        Qt::LeftButton);
      QCOMPARE(find<QListWidget>("attachments")->count(), expected);
    }
    screenshot("form");

    std::vector<Model::UploadProgress> progress;
    const auto watch = model->uploadProgress.subscribe([&](const auto& value) {
      if (value.bytesToSend > 0) {
        progress.push_back(value);
      }
    });
    QVERIFY(find<QPushButton>("send")->isEnabled());
    QTest::mouseClick(find<QPushButton>("send"), Qt::LeftButton);
    // The capture runs until Done; the window answers meanwhile.
    auto* done = find<QPushButton>("done");
    QTRY_VERIFY_WITH_TIMEOUT(done->isEnabled() || model->state.get() != Model::State::diagnosis(),
                             60000);
    if (done->isEnabled()) {
      screenshot("diagnostics");
      QTest::mouseClick(done, Qt::LeftButton);
    }
    QTRY_COMPARE_WITH_TIMEOUT(model->state.get(), Model::State::submitted(), 120000);
    screenshot("sent");

    const auto id = QRegularExpression("assigned the ID (\\S+)\\.")
                        .match(find<QLabel>("state")->text())
                        .captured(1);
    QProcess list;
    list.start(TESSALINE_SERVICE_BINARY, {"list", "--data", path("data")});
    QVERIFY(list.waitForFinished(60000));
    QVERIFY(!id.isEmpty() && QString(list.readAllStandardOutput()).contains(id));

    // Progress only grows, over one total that holds the file, and ends at that total.
    QVERIFY(!progress.empty() && progress.back().bytesToSend >= (4u << 20));
    for (std::size_t index = 1; index < progress.size(); ++index) {
      QVERIFY(progress[index].bytesSent >= progress[index - 1].bytesSent);
      QCOMPARE(progress[index].bytesToSend, progress.back().bytesToSend);
    }
    QCOMPARE(progress.back().bytesSent, progress.back().bytesToSend);
  }

  void outdatedAppShowsFailure() {
    auto model = openWindow("1.0", "100");
    const auto failure = Model::Failure::outdatedApp();
    QTRY_COMPARE_WITH_TIMEOUT(model->state.get(), Model::State::failed(failure), 60000);
    QCOMPARE(find<QLabel>("state")->text().toStdString(), failure.message);
    QVERIFY(!find<QPushButton>("send")->isEnabled());
    screenshot("outdated");
  }
};

QTEST_MAIN(QtHostTest)
#include "qt_host_test.moc"
