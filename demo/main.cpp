// tessaline-demo: a host application in the terminal that drives the whole feedback form against
// the service named by TESSALINE_SERVICE_URL (certificates from SSL_CERT_FILE / SSL_CERT_DIR).

#include "DemoOptions.h"
#include "FormSession.h"
#include "LineReader.h"

#include <Tessaline/Url.h>
#include <Tessaline/diagnostics/ApplicationLogsCollectorStep.h>
#include <Tessaline/diagnostics/CollectCrashReportsStep.h>
#include <Tessaline/diagnostics/SystemLogsCollectorStep.h>
#include <Tessaline/diagnostics/SystemProfileStep.h>
#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/form/Outbox.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>

#include <CLI/CLI.hpp>

#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace tessaline;
using demo::DemoOptions;

// Fills the options from the command line; an exit status when the demo should end right away
// (help, or a usage error).
std::optional<int> parseCommandLine(int argc, char** argv, DemoOptions& options) {
  CLI::App app{
      "A terminal host application that sends feedback through Tessaline.\n"
      "The service is TESSALINE_SERVICE_URL; SSL_CERT_FILE chooses the trusted CA.",
      "tessaline-demo"};
  app.footer(
      "Without form flags and with a terminal on standard input it asks for each field, and\n"
      "Enter ends the system log capture. Exit status: 0 submitted, 1 the form failed, 2 usage.");
  app.add_option("--app-version", options.appVersion, "The app's short version string")
      ->capture_default_str();
  app.add_option("--app-build", options.appBuild, "The app's build number")
      ->capture_default_str()
      ->check(CLI::NonNegativeNumber);
  app.add_option("--log-file", options.logFiles, "A log file of the app (repeatable)");

  std::int64_t reason = 0;
  std::int64_t frequency = 0;
  std::string subject;
  std::string message;
  std::string name;
  std::string email;
  auto* reasonOption = app.add_option("--reason", reason, "Reason id");
  auto* frequencyOption = app.add_option("--frequency", frequency, "Reproduction frequency id");
  auto* subjectOption = app.add_option("--subject", subject, "Subject");
  auto* messageOption = app.add_option("--message", message, "Message");
  auto* nameOption = app.add_option("--name", name, "Your name");
  auto* emailOption = app.add_option("--email", email, "Your e-mail address");
  app.add_option("--attach", options.attachments, "A file to attach (repeatable)");
  bool noDiagnostics = false;
  app.add_flag("--no-diagnostics", noDiagnostics, "Send the report without collecting diagnostics");
  app.add_option("--stop-capture-after", options.stopCaptureAfterSeconds,
                 "Seconds the system log is captured when no one is there to press Enter")
      ->capture_default_str()
      ->check(CLI::Range(0.0, 24.0 * 3600));
  app.add_flag("--check-updates", options.checkUpdates,
               "Ask the service for a newer build and print its answer");
  app.add_option("--train", options.train, "Release train")->capture_default_str();
  app.add_flag("--outbox", options.outbox,
               "Keep the report on this computer when the service cannot be reached");
  app.add_flag("--flush-outbox", options.flushOutbox,
               "Send the reports kept on this computer, then exit");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : demo::kExitUsage;
  }

  bool formFlags = false;
  const auto take = [&formFlags](CLI::Option* option, auto& target, const auto& value) {
    if (option->count() > 0) {
      target = value;
      formFlags = true;
    }
  };
  take(reasonOption, options.reason, reason);
  take(frequencyOption, options.frequency, frequency);
  take(subjectOption, options.subject, subject);
  take(messageOption, options.message, message);
  take(nameOption, options.name, name);
  take(emailOption, options.email, email);
  options.diagnostics = !noDiagnostics;
  options.interactive =
      !formFlags && !options.checkUpdates && !options.flushOutbox && ::isatty(STDIN_FILENO) == 1;
  return std::nullopt;
}

int checkForUpdates(const FeedbackAPIClient& client) {
  int status = demo::kExitFailed;
  client.checkForUpdates([&status](const Result<UpdateCheckResponse>& answer) {
    if (!answer) {
      std::cerr << "tessaline-demo: the update check failed: " << answer.error().description()
                << std::endl;
    } else {
      std::cout << "Update available: " << (answer->updateAvailable ? "yes" : "no") << "\n"
                << "Latest build: " << answer->latestBuild << (answer->beta ? " (beta)" : "")
                << "\n";
      if (answer->message) {
        std::cout << "Message: " << *answer->message << "\n";
      }
      std::cout << std::flush;
      status = demo::kExitSubmitted;
    }
    platform::MainQueue::stop();
  });
  platform::MainQueue::run();
  return status;
}

int flushOutbox(std::shared_ptr<FeedbackAPIClient> client) {
  int status = demo::kExitFailed;
  auto outbox = std::make_shared<Outbox>();
  std::cout << "Outbox: " << outbox->directory() << std::endl;
  outbox->flush(std::move(client), [&status](const Outbox::FlushResult& result) {
    std::cout << "Sent " << result.sent << " kept report(s); " << result.dropped << " refused; "
              << result.remaining << " still kept" << std::endl;
    if (result.error) {
      std::cerr << "tessaline-demo: sending stopped: " << result.error->description() << std::endl;
    } else {
      status = demo::kExitSubmitted;
    }
    platform::MainQueue::stop();
  });
  platform::MainQueue::run();
  return status;
}

int runForm(const DemoOptions& options, std::shared_ptr<FeedbackAPIClient> client) {
  auto model = FeedbackFormViewModel::make(
      {SystemProfileStep::kind(), SystemLogsCollectorStep::kind(),
       ApplicationLogsCollectorStep::kind(), CollectCrashReportsStep::kind()},
      std::move(client));
  if (options.outbox) {
    model->setOutbox(std::make_shared<Outbox>());
  }
  auto session = demo::FormSession::make(options, model);
  std::unique_ptr<demo::LineReader> reader;
  if (options.interactive) {
    std::weak_ptr<demo::FormSession> weak = session;
    reader = std::make_unique<demo::LineReader>([weak](const std::optional<std::string>& line) {
      if (auto session = weak.lock()) {
        session->receiveLine(line);
      }
    });
  }
  platform::MainQueue::async([session] { session->start(); });
  platform::MainQueue::run();

  reader.reset();
  const int status = session->exitCode().value_or(demo::kExitFailed);
  session.reset();
  model.reset();
  // Tasks still waiting may hold the form; let them go before the process ends.
  platform::MainQueue::drain();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  DemoOptions options;
  if (const auto status = parseCommandLine(argc, argv, options)) {
    return *status;
  }

  try {
    platform::MainBundle::setInfoDictionary(
        {{"CFBundleShortVersionString", options.appVersion},
         {"CFBundleVersion", std::to_string(options.appBuild)}});
    std::vector<Url> logFiles;
    for (const std::string& path : options.logFiles) {
      std::error_code error;
      if (!std::filesystem::exists(path, error)) {
        std::cerr << "tessaline-demo: warning: the log file " << path << " does not exist"
                  << std::endl;
      }
      logFiles.push_back(Url::fileURL(path));
    }
    ApplicationLogsCollectorStep::registerLogFileURLs(logFiles);

    auto client = std::make_shared<FeedbackAPIClient>(options.train, Environment::current());
    const std::string& service = client->environment().baseURL().absoluteString();
    if (const char* wanted = std::getenv("TESSALINE_SERVICE_URL");
        wanted != nullptr && *wanted != '\0' && service != wanted) {
      std::cerr << "tessaline-demo: warning: TESSALINE_SERVICE_URL " << wanted
                << " is not usable (https, or http to this machine only); using the built-in "
                   "service"
                << std::endl;
    }
    std::cout << "Service: " << service << std::endl;
    if (options.checkUpdates) {
      return checkForUpdates(*client);
    }
    if (options.flushOutbox) {
      return flushOutbox(std::move(client));
    }
    return runForm(options, std::move(client));
  } catch (const std::exception& error) {
    std::cerr << "tessaline-demo: " << error.what() << std::endl;
    return demo::kExitFailed;
  }
}
