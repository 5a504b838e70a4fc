#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>

#include <Tessaline/diagnostics/Redactor.h>
#include <Tessaline/diagnostics/detail/StepState.h>
#include <platform/FileSystem.h>
#include <platform/Process.h>
#include <platform/SerialQueue.h>

#include <algorithm>
#include <chrono>
#include <mutex>

namespace tessaline {

namespace {

using platform::FileSystem;

struct Registry {
  std::mutex mutex;
  std::vector<Url> urls;
};

Registry& registry() {
  static auto* instance = new Registry();  // read by jobs until the process ends
  return *instance;
}

// Whole seconds since 2001-01-01T00:00:00Z, truncated toward zero.
long long referenceSeconds() {
  const auto unixSeconds = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return unixSeconds.count() - 978307200;
}

}  // namespace

ApplicationLogsCollectorStep::ApplicationLogsCollectorStep()
    : state_(std::make_shared<detail::StepState>("ApplicationLogsCollectorStep")),
      queue_(std::make_unique<platform::SerialQueue>("AppLogsCollector",
                                                     platform::QualityOfService::userInitiated)) {}

ApplicationLogsCollectorStep::~ApplicationLogsCollectorStep() {
  state_->cancel();
  queue_.reset();
}

StepClassMembers& ApplicationLogsCollectorStep::classMembers() {
  static StepClassMembers members(50, "App Logs");
  return members;
}

bool ApplicationLogsCollectorStep::shouldRun(const Feedback& feedback) {
  return feedback.reason.appLogs == Feedback::Requirement::required;
}

void ApplicationLogsCollectorStep::registerLogFileURLs(const std::vector<Url>& urls) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  for (const auto& url : urls) {
    if (std::find(r.urls.begin(), r.urls.end(), url) == r.urls.end()) {
      r.urls.push_back(url);
    }
  }
}

std::vector<Url> ApplicationLogsCollectorStep::registeredLogFileURLs() {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  return r.urls;
}

bool ApplicationLogsCollectorStep::isRunning() const {
  return state_->isRunning.load();
}

std::shared_ptr<Progress> ApplicationLogsCollectorStep::run(const Feedback&,
                                                            Completion completion) {
  state_->isRunning = true;
  state_->setCompletion(std::move(completion));
  std::weak_ptr<const DiagnosisStep> step = weak_from_this();
  queue_->async([step, state = state_] {
    if (!step.expired()) {
      onQueueCollectLogs(state);
    }
  });
  return nullptr;
}

void ApplicationLogsCollectorStep::onQueueCollectLogs(
    const std::shared_ptr<detail::StepState>& state) {
  const auto& log = state->log;
  auto finish = [&state](const Result<Bytes>& result) {
    state->isRunning = false;
    state->complete(result);
  };

  log.debug("onQueueCollectLogs()");
  const std::string stamp = std::to_string(referenceSeconds());
  const auto temporaryDirectory = FileSystem::temporaryDirectory();
  if (!temporaryDirectory) {
    log.error("Log archival failed: %{public}s", temporaryDirectory.error().description());
    finish(temporaryDirectory.error());
    return;
  }
  const std::string& directory = temporaryDirectory.value();  // ends with "/"
  const std::string archivePath = directory + "PairloomLogArchive-" + stamp + ".zip";
  const std::string stagingName = "PairloomLogs-" + stamp;
  const std::string stagingPath = directory + stagingName;

  if (auto created = FileSystem::createDirectory(stagingPath); !created) {
    log.error("Log archival failed: %{public}s", created.error().description());
    finish(created.error());
    return;
  }

  const auto redactor = Redactor::current();
  for (const auto& url : registeredLogFileURLs()) {
    Result<Unit> copied = Unit{};
    if (!url.isFileURL()) {
      copied = Error(Error::Kind::fileSystem,
                     "Cannot copy " + url.absoluteString() + ": not a file URL");
    } else {
      const std::string copy = stagingPath + "/" + url.lastPathComponent();
      copied = FileSystem::copyItem(url.path(), copy);
      if (copied) {
        copied = redactor->applyToFiles(copy);  // only redacted copies go into the archive
      }
    }
    if (!copied) {
      log.error("Error copying log file: %{public}s", copied.error().description());
    }
  }

  // zip would add to an archive an earlier run left at the same path in the same second.
  static_cast<void>(FileSystem::removeItem(archivePath));

  auto zip = std::make_shared<platform::Process>(
      "/usr/bin/zip", std::vector<std::string>{"-r", archivePath, "./" + stagingName});
  zip->setCurrentDirectory(directory);
  zip->setStandardOutput(platform::Process::Output::discard);
  Result<Bytes> archive = Bytes();
  if (auto launched = state->launch(zip); !launched) {
    archive = launched.error();
  } else {
    zip->waitUntilExit();  // the exit status does not matter; the archive file does
    archive = FileSystem::readFile(archivePath);
  }
  if (!archive) {
    log.error("Failed to add source files to log archive: %{public}s",
              archive.error().description());
  }
  finish(archive);
  static_cast<void>(FileSystem::removeItem(stagingPath));
}

}  // namespace tessaline
