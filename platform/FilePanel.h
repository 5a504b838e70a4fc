#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/Url.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessaline::platform {

struct OpenPanelOptions {
  std::vector<std::string> allowedFileTypes;  // extensions without the dot
  std::string prompt;                         // title of the confirm button
  bool allowsMultipleSelection = false;
};

// A modal open panel. The host may install its own (a Qt or GTK host will); the default runs
// zenity or kdialog when present.
class TESSALINE_EXPORT FilePanel {
 public:
  virtual ~FilePanel() = default;
  // The chosen files, nothing when the user cancelled, or an error when no panel can be shown.
  virtual Result<std::optional<std::vector<Url>>> runModal(const OpenPanelOptions& options) = 0;

  static std::shared_ptr<FilePanel> current();
  static void install(std::shared_ptr<FilePanel> panel);  // empty: the default
};

struct AlertContent {
  std::string messageText;
  std::string informativeText;
  std::vector<std::string> buttons;
};

// A modal alert; the host may install its own, the default runs zenity or kdialog when present
// and otherwise writes the alert to standard error.
class TESSALINE_EXPORT Alert {
 public:
  virtual ~Alert() = default;
  // Returns the index of the button pressed.
  virtual int runModal(const AlertContent& content) = 0;

  static std::shared_ptr<Alert> current();
  static void install(std::shared_ptr<Alert> alert);  // empty: the default
};

}  // namespace tessaline::platform
