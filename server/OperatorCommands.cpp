#include "OperatorCommands.h"

#include "TextChecks.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <system_error>

namespace tessaline::server {

namespace {

using OrderedJson = nlohmann::ordered_json;

std::string titled(std::int64_t id, const std::optional<std::string>& title) {
  return std::to_string(id) + (title ? " (" + printable(*title, false) + ")" : "");
}

Result<std::optional<StoredReport>> findReport(Store& store, std::string_view id,
                                               std::ostream& err) {
  Result<std::optional<StoredReport>> report = store.report(id);
  if (!report) {
    err << "tessaline-service: " << report.error().description() << "\n";
  } else if (!report.value()) {
    err << "tessaline-service: no report with id " << printable(id, false) << "\n";
  }
  return report;
}

// Writes the whole text to a new file; refuses to replace one.
bool writeNewFile(const std::filesystem::path& path, std::string_view text, std::ostream& err) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    err << "tessaline-service: cannot create " << path.string() << ": " << std::strerror(errno)
        << "\n";
    return false;
  }
  bool written = true;
  while (!text.empty() && written) {
    const ssize_t count = ::write(fd, text.data(), text.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    written = count > 0;
    if (written) {
      text.remove_prefix(static_cast<std::size_t>(count));
    }
  }
  written = ::close(fd) == 0 && written;
  if (!written) {
    err << "tessaline-service: cannot write " << path.string() << "\n";
  }
  return written;
}

}  // namespace

std::string isoTime(std::int64_t unixMs) {
  const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(unixMs % 1000));
  return text;
}

int listReports(Store& store, std::ostream& out, std::ostream& err) {
  Result<std::vector<ReportSummary>> reports = store.listReports();
  if (!reports) {
    err << "tessaline-service: " << reports.error().description() << "\n";
    return 1;
  }
  for (const ReportSummary& report : reports.value()) {
    out << report.id << '\t' << isoTime(report.receivedMs) << '\t' << report.reasonId << '\t'
        << report.attachmentCount << '\t' << printable(report.subject, false) << '\n';
  }
  out.flush();
  return out ? 0 : 1;
}

int showReport(Store& store, std::string_view id, std::ostream& out, std::ostream& err) {
  Result<std::optional<StoredReport>> found = findReport(store, id, err);
  if (!found || !found.value()) {
    return 1;
  }
  const StoredReport& report = *found.value();
  out << "Report:      " << report.id << '\n'
      << "Local ID:    " << report.localId << '\n'
      << "Received:    " << isoTime(report.receivedMs) << '\n'
      << "Reason:      " << titled(report.reasonId, report.reasonTitle) << '\n'
      << "Frequency:   " << titled(report.frequencyId, report.frequencyTitle) << '\n'
      << "Subject:     " << printable(report.subject, false) << '\n'
      << "Name:        " << (report.name ? printable(*report.name, false) : "-") << '\n'
      << "Email:       " << (report.email ? printable(*report.email, false) : "-") << '\n';
  for (std::size_t index = 0; index < report.messages.size(); ++index) {
    out << "Message " << index + 1 << ":\n" << printable(report.messages[index], true) << '\n';
  }
  out << "Attachments: " << report.attachments.size() << '\n';
  for (const AttachmentRecord& attachment : report.attachments) {
    // A store without files (PostgreSQL) keeps the bytes in the database.
    const std::filesystem::path path = store.attachmentPath(attachment.id);
    std::error_code error;
    const bool present = path.empty() || std::filesystem::is_regular_file(path, error);
    out << "  " << printable(attachment.name, false) << "  " << attachment.size << " bytes  "
        << (path.empty() ? "(in the database)" : path.string()) << (present ? "" : "  (missing)")
        << '\n';
  }
  out.flush();
  return out ? 0 : 1;
}

int exportReport(Store& store, std::string_view id, const std::filesystem::path& outDir,
                 std::ostream& out, std::ostream& err) {
  Result<std::optional<StoredReport>> found = findReport(store, id, err);
  if (!found || !found.value()) {
    return 1;
  }
  const StoredReport& report = *found.value();
  std::error_code error;
  if (std::filesystem::exists(outDir, error) && !std::filesystem::is_empty(outDir, error)) {
    err << "tessaline-service: " << outDir.string() << " is not empty\n";
    return 1;
  }
  const std::filesystem::path attachmentsDir = outDir / "attachments";
  std::filesystem::create_directories(attachmentsDir, error);
  if (error) {
    err << "tessaline-service: cannot create " << attachmentsDir.string() << ": " << error.message()
        << "\n";
    return 1;
  }

  OrderedJson document = OrderedJson::object();
  document["id"] = report.id;
  document["localId"] = report.localId;
  document["receivedAt"] = isoTime(report.receivedMs);
  document["reasonId"] = report.reasonId;
  if (report.reasonTitle) {
    document["reasonTitle"] = *report.reasonTitle;
  }
  document["frequencyId"] = report.frequencyId;
  if (report.frequencyTitle) {
    document["frequencyTitle"] = *report.frequencyTitle;
  }
  document["subject"] = report.subject;
  if (report.name) {
    document["name"] = *report.name;
  }
  if (report.email) {
    document["email"] = *report.email;
  }
  document["messages"] = OrderedJson::array();
  for (const std::string& body : report.messages) {
    document["messages"].push_back({{"body", body}});
  }
  document["attachments"] = OrderedJson::array();

  int status = 0;
  std::set<std::string> usedNames;
  for (const AttachmentRecord& attachment : report.attachments) {
    // Names are safe path components already; two uploads may still share one.
    std::string fileName = safeFileName(attachment.name);
    if (!usedNames.insert(fileName).second) {
      fileName = attachment.id + "-" + fileName;
      usedNames.insert(fileName);
    }
    const std::filesystem::path target = attachmentsDir / fileName;
    Result<std::shared_ptr<const AttachmentFile>> file = store.attachmentFile(attachment.id);
    if (!file) {
      err << "tessaline-service: cannot export attachment " << attachment.id << ": "
          << file.error().description() << "\n";
      status = 1;
      continue;
    }
    std::filesystem::copy_file(file.value()->path, target, std::filesystem::copy_options::none,
                               error);
    if (error) {
      err << "tessaline-service: cannot export attachment " << attachment.id << ": "
          << error.message() << "\n";
      status = 1;
      continue;
    }
    OrderedJson entry = OrderedJson::object();
    entry["id"] = attachment.id;
    entry["name"] = attachment.name;
    entry["size"] = attachment.size;
    entry["file"] = "attachments/" + fileName;
    document["attachments"].push_back(std::move(entry));
  }
  const std::string text =
      document.dump(2, ' ', false, OrderedJson::error_handler_t::replace) + "\n";
  if (!writeNewFile(outDir / "report.json", text, err)) {
    return 1;
  }
  out << "exported report " << report.id << " to " << outDir.string() << '\n';
  out.flush();
  return status;
}

}  // namespace tessaline::server
