#include <platform/FilePanel.h>
#include <platform/Process.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>

namespace tessaline::platform {

namespace {

// A dialog tool's answer: its exit status (-1 when a signal ended it) and standard output.
struct ToolOutcome {
  int exitStatus = -1;
  std::string output;
};

// Runs a dialog tool to its end and captures what it prints.
Result<ToolOutcome> runTool(const std::string& executable,
                            const std::vector<std::string>& arguments) {
  Process process(executable, arguments);
  if (auto launched = process.launch(); !launched) {
    return launched.error();
  }
  const auto termination = process.waitUntilExit();
  ToolOutcome outcome;
  outcome.exitStatus =
      termination.reason == Process::Termination::Reason::exit ? termination.status : -1;
  outcome.output = process.output().str();
  return outcome;
}

// The executable of that name in a PATH folder, or nothing.
std::optional<std::string> findOnPath(std::string_view program) {
  const char* variable = std::getenv("PATH");
  const std::string_view path = variable != nullptr ? variable : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= path.size()) {
    auto end = path.find(':', start);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    const std::string_view folder = end > start ? path.substr(start, end - start) : ".";
    std::string candidate;
    candidate.append(folder).append("/").append(program);
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        ::access(candidate.c_str(), X_OK) == 0) {
      return candidate;
    }
    start = end + 1;
  }
  return std::nullopt;
}

bool environmentSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

enum class DialogTool { zenity, kdialog };

struct FoundTool {
  DialogTool kind;
  std::string path;
};

// zenity, or kdialog (first on a KDE desktop); nothing without a graphical session, where
// either tool would fail as if the user had cancelled.
std::optional<FoundTool> findDialogTool() {
  if (!environmentSet("DISPLAY") && !environmentSet("WAYLAND_DISPLAY")) {
    return std::nullopt;
  }
  const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
  const bool kde =
      desktop != nullptr && std::string_view(desktop).find("KDE") != std::string_view::npos;
  const auto zenity = findOnPath("zenity");
  const auto kdialog = findOnPath("kdialog");
  if (kdialog && (kde || !zenity)) {
    return FoundTool{DialogTool::kdialog, *kdialog};
  }
  if (zenity) {
    return FoundTool{DialogTool::zenity, *zenity};
  }
  return std::nullopt;
}

// "*.png *.PNG *.jpg *.JPG": pictures from cameras often carry upper-case extensions.
std::string filePatterns(const std::vector<std::string>& extensions) {
  std::string patterns;
  for (const auto& extension : extensions) {
    std::string lower = extension;
    std::string upper = extension;
    for (auto& c : lower) {
      c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    for (auto& c : upper) {
      c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    patterns += (patterns.empty() ? "*." : " *.") + lower;
    if (upper != lower) {
      patterns += " *." + upper;
    }
  }
  return patterns;
}

std::vector<Url> splitPaths(std::string_view output, std::string_view separator) {
  while (!output.empty() && output.back() == '\n') {
    output.remove_suffix(1);
  }
  std::vector<Url> urls;
  while (!output.empty()) {
    const auto end = output.find(separator);
    const auto path = output.substr(0, end);
    if (!path.empty()) {
      urls.push_back(Url::fileURL(path));
    }
    if (end == std::string_view::npos) {
      break;
    }
    output.remove_prefix(end + separator.size());
  }
  return urls;
}

// Zenity joins the chosen paths with this; a file name is most unlikely to hold it.
constexpr std::string_view kZenitySeparator = "\x1f";

class DefaultFilePanel final : public FilePanel {
 public:
  Result<std::optional<std::vector<Url>>> runModal(const OpenPanelOptions& options) override {
    const auto tool = findDialogTool();
    if (!tool) {
      return Error(Error::Kind::generic, "No file panel is available");
    }
    std::vector<std::string> arguments;
    std::string_view separator = "\n";
    const auto patterns = filePatterns(options.allowedFileTypes);
    if (tool->kind == DialogTool::zenity) {
      separator = kZenitySeparator;
      arguments = {"--file-selection", "--separator=" + std::string(separator)};
      if (options.allowsMultipleSelection) {
        arguments.emplace_back("--multiple");
      }
      if (!patterns.empty()) {
        arguments.push_back("--file-filter=Supported files | " + patterns);
      }
      if (!options.prompt.empty()) {
        arguments.push_back("--ok-label=" + options.prompt);
      }
    } else {
      const char* home = std::getenv("HOME");
      arguments = {"--getopenfilename", home != nullptr && *home != '\0' ? home : "."};
      if (!patterns.empty()) {
        arguments.push_back(patterns + "|Supported files");
      }
      if (options.allowsMultipleSelection) {
        arguments.emplace_back("--multiple");
        arguments.emplace_back("--separate-output");
      }
      if (!options.prompt.empty()) {
        arguments.insert(arguments.end(), {"--ok-label", options.prompt});
      }
    }
    auto outcome = runTool(tool->path, arguments);
    if (!outcome) {
      return outcome.error();
    }
    switch (outcome->exitStatus) {
      case 0:
        return std::optional(splitPaths(outcome->output, separator));
      case 1:
        return std::optional<std::vector<Url>>();  // cancelled
      default:
        return Error(Error::Kind::generic, "The file panel failed: " + tool->path +
                                               " ended with status " +
                                               std::to_string(outcome->exitStatus));
    }
  }
};

class DefaultAlert final : public Alert {
 public:
  int runModal(const AlertContent& content) override {
    const auto buttons = content.buttons.empty() ? std::vector<std::string>{"OK"} : content.buttons;
    if (const auto tool = findDialogTool()) {
      if (const auto pressed = runDialog(*tool, content, buttons)) {
        return *pressed;
      }
    }
    // Without a dialog the alert still reaches whoever watches the process.
    auto text = content.messageText;
    if (!content.informativeText.empty()) {
      text += (text.empty() ? "" : ": ") + content.informativeText;
    }
    text += "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
    return 0;
  }

 private:
  // The index of the button pressed; nothing when the tool could not show the alert.
  static std::optional<int> runDialog(const FoundTool& tool, const AlertContent& content,
                                      const std::vector<std::string>& buttons) {
    auto text = content.messageText;
    if (!content.informativeText.empty()) {
      text += (text.empty() ? "" : "\n\n") + content.informativeText;
    }
    std::vector<std::string> arguments;
    if (tool.kind == DialogTool::zenity) {
      arguments = {buttons.size() == 1 ? "--warning" : "--question", "--no-markup",
                   "--title=" + content.messageText, "--text=" + text, "--ok-label=" + buttons[0]};
      if (buttons.size() > 1) {
        arguments.push_back("--cancel-label=" + buttons[1]);
      }
      for (std::size_t index = 2; index < buttons.size(); ++index) {
        arguments.push_back("--extra-button=" + buttons[index]);
      }
    } else {
      arguments = {"--title", content.messageText};
      if (buttons.size() == 1) {
        arguments.insert(arguments.end(), {"--msgbox", text});
      } else {
        arguments.insert(arguments.end(), {buttons.size() == 2 ? "--yesno" : "--yesnocancel", text,
                                           "--yes-label", buttons[0], "--no-label", buttons[1]});
        if (buttons.size() > 2) {
          arguments.insert(arguments.end(), {"--cancel-label", buttons[2]});
        }
      }
    }
    const auto outcome = runTool(tool.path, arguments);
    if (!outcome) {
      return std::nullopt;
    }
    const int status = outcome->exitStatus;
    if (buttons.size() == 1) {
      // Closing the only button's alert is pressing that button.
      return status == 0 || status == 1 ? std::optional(0) : std::nullopt;
    }
    if (status == 0) {
      return 0;
    }
    if (status == 1 && tool.kind == DialogTool::zenity) {
      // An extra button prints its label; otherwise the second button or a closed window.
      auto label = std::string_view(outcome->output);
      while (!label.empty() && label.back() == '\n') {
        label.remove_suffix(1);
      }
      for (std::size_t index = 2; index < buttons.size(); ++index) {
        if (label == buttons[index]) {
          return static_cast<int>(index);
        }
      }
      return 1;
    }
    if (tool.kind == DialogTool::kdialog && (status == 1 || (status == 2 && buttons.size() > 2))) {
      return status;
    }
    return std::nullopt;
  }
};

template <class Interface, class Default>
struct Installed {
  std::mutex mutex;
  std::shared_ptr<Interface> installed;
  const std::shared_ptr<Interface> fallback = std::make_shared<Default>();

  static Installed& shared() {
    static auto* instance = new Installed();  // never destroyed: read from any thread
    return *instance;
  }
  std::shared_ptr<Interface> current() {
    std::lock_guard lock(mutex);
    return installed ? installed : fallback;
  }
  void install(std::shared_ptr<Interface> replacement) {
    {
      std::lock_guard lock(mutex);
      std::swap(installed, replacement);
    }
    // The one replaced is released outside the lock.
  }
};

using InstalledPanel = Installed<FilePanel, DefaultFilePanel>;
using InstalledAlert = Installed<Alert, DefaultAlert>;

}  // namespace

std::shared_ptr<FilePanel> FilePanel::current() {
  return InstalledPanel::shared().current();
}

void FilePanel::install(std::shared_ptr<FilePanel> panel) {
  InstalledPanel::shared().install(std::move(panel));
}

std::shared_ptr<Alert> Alert::current() {
  return InstalledAlert::shared().current();
}

void Alert::install(std::shared_ptr<Alert> alert) {
  InstalledAlert::shared().install(std::move(alert));
}

}  // namespace tessaline::platform
