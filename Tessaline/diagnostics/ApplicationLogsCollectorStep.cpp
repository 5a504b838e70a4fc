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
  // Never waits for the job: it ends early (its tool terminated, its loops stopped) by itself.
  state_->cancel();
  queue_->abandon();
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

// Copies one registered item (a file, or a folder with what it holds) to `destination`. Inside a
// folder only regular files and folders are copied; anything else (a FIFO, socket, device or
// link) is logged and left out, so neither this copy nor zip can block on it. Stops once the step
// is cancelled.
void ApplicationLogsCollectorStep::copyIntoStaging(const std::string& source,
                                                   const std::string& destination,
                                                   const detail::StepState& state) {
  const auto& log = state.log;
  const auto redactor = Redactor::current();
  auto copyFile = [&](const std::string& from, const std::string& to) {
    auto copied = FileSystem::copyFile(from, to, state.cancelled());
    if (copied) {
      copied = redactor->applyToFiles(to);  // only redacted copies go into the archive
      if (!copied) {
        static_cast<void>(FileSystem::removeItem(to));
      }
    }
    if (!copied) {
      log.error("Error copying log file: %{public}s", copied.error().description());
    }
  };
  if (!FileSystem::isDirectory(source)) {
    copyFile(source, destination);  // a link given by the host is followed
    return;
  }
  if (auto made = FileSystem::createNewDirectory(destination); !made || !made.value()) {
    log.error("Error copying log file: %{public}s",
              made ? "Cannot copy " + source + ": " + destination + " exists"
                   : made.error().description());
    return;
  }
  static_cast<void>(FileSystem::enumerate(
      source,
      [&](const FileSystem::Entry& entry) {
        const std::string to = destination + entry.path.substr(source.size());
        if (state.cancelled()) {
          return;
        }
        if (entry.type == FileSystem::Type::directory) {
          if (auto dir = FileSystem::createNewDirectory(to); !dir || !dir.value()) {
            log.error("Error copying log file: %{public}s", "Cannot create " + to);
          }
        } else if (entry.type == FileSystem::Type::regularFile) {
          copyFile(entry.path, to);
        } else {
          log.error("Error copying log file: %{public}s",
                    "Skipped " + entry.path + ": not a regular file or folder");
        }
      },
      [&log](const std::string& path, const Error& error) {
        log.error("Error copying log file: %{public}s",
                  "Skipped " + path + ": " + error.description());
      }));
}

void ApplicationLogsCollectorStep::onQueueCollectLogs(
    const std::shared_ptr<detail::StepState>& state) {
  const auto& log = state->log;
  auto finish = [&state](const Result<Bytes>& result) {
    state->isRunning = false;
    if (!state->cancelled()) {  // a released step's late result is dropped
      state->complete(result);
    }
  };

  log.debug("onQueueCollectLogs()");
  const std::string stamp = std::to_string(referenceSeconds());
  const auto temporaryDirectory = FileSystem::temporaryDirectory();
  if (!temporaryDirectory) {
    log.error("Log archival failed: %{public}s", temporaryDirectory.error().description());
    finish(temporaryDirectory.error());
    return;
  }
  const std::string& directory = temporaryDirectory.value();  // absolute, ends with "/"
  if (auto created = FileSystem::createDirectory(directory); !created) {
    log.error("Log archival failed: %{public}s", created.error().description());
    finish(created.error());
    return;
  }
  // Two runs in the same second (two forms sending at once) must not share the folder: it is
  // made exclusively, and a taken name gets a suffix, "-2", "-3", ..., after T.
  std::string suffix;
  for (int attempt = 1;; ++attempt) {
    suffix = attempt == 1 ? "" : "-" + std::to_string(attempt);
    auto created = FileSystem::createNewDirectory(directory + "PairloomLogs-" + stamp + suffix);
    if (created && created.value()) {
      break;
    }
    if (!created || attempt == 1000) {
      const auto error =
          created ? Error(Error::Kind::fileSystem, "Cannot create a staging folder in " + directory)
                  : created.error();
      log.error("Log archival failed: %{public}s", error.description());
      finish(error);
      return;
    }
  }
  const std::string archivePath = directory + "PairloomLogArchive-" + stamp + suffix + ".zip";
  const std::string stagingName = "PairloomLogs-" + stamp + suffix;
  const std::string stagingPath = directory + stagingName;

  for (const auto& url : registeredLogFileURLs()) {
    if (state->cancelled()) {
      break;
    }
    if (!url.isFileURL()) {
      log.error("Error copying log file: %{public}s",
                "Cannot copy " + url.absoluteString() + ": not a file URL");
      continue;
    }
    copyIntoStaging(url.path(), stagingPath + "/" + url.lastPathComponent(), *state);
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
  // Removed first, so whoever receives the archive finds no staging folder left behind.
  static_cast<void>(FileSystem::removeItem(stagingPath));
  finish(archive);
}

}  // namespace tessaline
