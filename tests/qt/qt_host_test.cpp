// The Qt host: the main queue on Qt's loop, and the example window driven like a user would,
// against a real tessaline-service.
#include <FeedbackWindow.h>
#include <QtIntegration.h>

#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <optional>
#include <thread>

using namespace tessaline;
using Model = FeedbackFormViewModel;

class QtHostTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir directory_;
  QProcess service_;
  std::optional<qt::QtIntegration> integration_;

  QString path(const QString& name) const { return directory_.filePath(name); }

  std::shared_ptr<Model> openWindow(std::unique_ptr<FeedbackWindow>& window) {
    auto model =
        Model::make({SystemProfileStep::kind(), SystemLogsCollectorStep::kind(),
                     ApplicationLogsCollectorStep::kind(), CollectCrashReportsStep::kind()},
                    std::make_shared<FeedbackAPIClient>("stable", Environment::current()));
    window = std::make_unique<FeedbackWindow>(model);
    window->show();
    model->loadForm();
    return model;
  }

  static void screenshot(QWidget& window, const char* name) {
    QDir().mkpath(TESSALINE_SCREENSHOT_DIR);
    QVERIFY(window.grab().save(QString(TESSALINE_SCREENSHOT_DIR "/qt-%1.png").arg(name)));
  }

 private slots:
  void initTestCase() {
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    for (const char* folder : {"home/Library/Logs/DiagnosticReports", "tmp", "data"}) {
      QVERIFY(QDir(directory_.path()).mkpath(folder));
    }
    qputenv("HOME", path("home").toUtf8());
    qputenv("TMPDIR", path("tmp").toUtf8());
    qputenv("XDG_CONFIG_HOME", path("home").toUtf8());
    service_.start(TESSALINE_SERVICE_BINARY,
                   {"--port", "0", "--data", path("data"), "--config", TESSALINE_SERVICE_CONFIG});
    QTRY_VERIFY_WITH_TIMEOUT(service_.canReadLine(), 60000);
    const auto port = QString(service_.readLine()).remove("listening on ").trimmed();
    qputenv("TESSALINE_SERVICE_URL", ("http://127.0.0.1:" + port + "/v1").toUtf8());
    integration_.emplace();
  }

  void cleanupTestCase() {
    integration_.reset();
    service_.terminate();
    service_.waitForFinished(30000);
  }

  // Tasks run on Qt's thread in the order they were queued, from any thread.
  void mainQueueKeepsOrder() {
    std::vector<int> ran;
    platform::MainQueue::async([&] {
      ran.push_back(-1);
      platform::MainQueue::async([&] { ran.push_back(-3); });
    });
    platform::MainQueue::async([&] { ran.push_back(-2); });
    std::thread worker([&] {
      for (int index = 1000; index < 1500; ++index) {
        platform::MainQueue::async([&, index] { ran.push_back(index); });
      }
    });
    for (int index = 0; index < 500; ++index) {
      platform::MainQueue::async([&, index] {
        QCOMPARE(QThread::currentThread(), qApp->thread());
        ran.push_back(index);
      });
    }
    worker.join();
    QTRY_COMPARE_WITH_TIMEOUT(ran.size(), std::size_t{1003}, 30000);
    // A task queued by a task comes after every task queued before it.
    QVERIFY(ran[0] == -1 && ran[1] == -2 && ran.back() == -3);
    for (const int start : {0, 1000}) {
      std::vector<int> seen;
      std::copy_if(ran.begin(), ran.end(), std::back_inserter(seen),
                   [start](int value) { return value >= start && value < start + 500; });
      QVERIFY(std::is_sorted(seen.begin(), seen.end()) && seen.size() == 500);
    }
  }

  // Fill, attach (through the Qt open panel), send, stop the capture, see the id.
  void sendsReport() {
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", "2.4.1"}, {"CFBundleVersion", "310"}});
    QFile log(path("app.log"));
    QVERIFY(log.open(QIODevice::WriteOnly) && log.write("error mixer: render stopped\n") > 0);
    log.close();
    ApplicationLogsCollectorStep::registerLogFileURLs(
        {Url::fileURL(path("app.log").toStdString())});
    QFile steps(path("steps.txt"));
    QVERIFY(steps.open(QIODevice::WriteOnly));
    steps.write(QByteArray(4 << 20, 's'));
    steps.close();

    std::unique_ptr<FeedbackWindow> window;
    auto model = openWindow(window);
    auto* reason = window->findChild<QComboBox*>("reason");
    QTRY_VERIFY_WITH_TIMEOUT(reason->count() > 1, 60000);
    QTest::keyClick(reason, Qt::Key_Down);  // the first reason requires every diagnostic
    QTest::keyClick(window->findChild<QComboBox*>("frequency"), Qt::Key_Down);
    QTest::keyClicks(window->findChild<QLineEdit*>("subject"), "Playback stops");
    auto* message = window->findChild<QPlainTextEdit*>("message");
    QTest::keyClick(message, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(message, "Playback of a large project stops after a few seconds.");
    QTest::keyClicks(window->findChild<QLineEdit*>("name"), "Qt User");
    QTest::keyClicks(window->findChild<QLineEdit*>("email"), "qt@example.com");

    auto* attachments = window->findChild<QListWidget*>("attachments");
    for (int round = 0; round < 2; ++round) {  // add, remove, add again
      QTimer answer;  // the panel is modal: it is answered from inside its own loop
      connect(&answer, &QTimer::timeout, [&] {
        auto* panel = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (panel != nullptr && panel->isVisible()) {
          answer.stop();
          auto* name = panel->findChild<QLineEdit*>("fileNameEdit");
          name->setText(path("steps.txt"));
          QTest::keyClick(name, Qt::Key_Return);
        }
      });
      answer.start(50);
      QTest::mouseClick(window->findChild<QPushButton*>("addAttachment"), Qt::LeftButton);
      QCOMPARE(attachments->count(), 1);
      if (round == 0) {
        attachments->setCurrentRow(0);
        QTest::mouseClick(window->findChild<QPushButton*>("removeAttachment"), Qt::LeftButton);
        QCOMPARE(attachments->count(), 0);
      }
    }
    screenshot(*window, "form");

    std::vector<Model::UploadProgress> progress;
    const auto watch = model->uploadProgress.subscribe([&](const auto& value) {
      if (value.bytesToSend > 0) {
        progress.push_back(value);
      }
    });
    auto* send = window->findChild<QPushButton*>("send");
    QVERIFY(send->isEnabled());
    QTest::mouseClick(send, Qt::LeftButton);
    // The capture runs until Done; the window answers meanwhile.
    auto* done = window->findChild<QPushButton*>("done");
    QTRY_VERIFY_WITH_TIMEOUT(done->isEnabled() || model->state.get() != Model::State::diagnosis(),
                             60000);
    if (done->isEnabled()) {
      screenshot(*window, "diagnostics");
      QTest::mouseClick(done, Qt::LeftButton);
    }
    QTRY_VERIFY_WITH_TIMEOUT(model->state.get() != Model::State::loading() &&
                                 model->state.get() != Model::State::diagnosis(),
                             120000);
    QCOMPARE(model->state.get(), Model::State::submitted());
    screenshot(*window, "sent");

    const auto shown = window->findChild<QLabel*>("state")->text();
    const auto id = QRegularExpression("assigned the ID (\\S+)\\.").match(shown).captured(1);
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
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", "1.0"}, {"CFBundleVersion", "100"}});
    std::unique_ptr<FeedbackWindow> window;
    auto model = openWindow(window);
    QTRY_COMPARE_WITH_TIMEOUT(model->state.get(),
                              Model::State::failed(Model::Failure::outdatedApp()), 60000);
    QCOMPARE(window->findChild<QLabel*>("state")->text().toStdString(),
             Model::Failure::outdatedApp().message);
    QVERIFY(!window->findChild<QPushButton*>("send")->isEnabled());
    screenshot(*window, "outdated");
  }
};

QTEST_MAIN(QtHostTest)
#include "qt_host_test.moc"
