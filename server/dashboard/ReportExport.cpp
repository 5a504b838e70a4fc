#include "ReportExport.h"

#include "OperatorCommands.h"

#include <nlohmann/json.hpp>

namespace tessaline::server {

namespace {

using Json = nlohmann::ordered_json;

template <class T>
Json optional(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

std::string exportJson(const std::vector<StoredReport>& reports) {
  Json all = Json::array();
  for (const StoredReport& report : reports) {
    Json attachments = Json::array();
    for (const AttachmentRecord& attachment : report.attachments) {
      attachments.push_back(
          {{"id", attachment.id}, {"name", attachment.name}, {"size", attachment.size}});
    }
    Json notes = Json::array();
    for (const ReportNote& note : report.notes) {
      notes.push_back(
          {{"created", isoTime(note.createdMs)}, {"author", note.author}, {"body", note.body}});
    }
    all.push_back({{"id", report.id},
                   {"received", isoTime(report.receivedMs)},
                   {"reasonId", report.reasonId},
                   {"reasonTitle", optional(report.reasonTitle)},
                   {"frequencyId", report.frequencyId},
                   {"frequencyTitle", optional(report.frequencyTitle)},
                   {"subject", report.subject},
                   {"messages", report.messages},
                   {"name", optional(report.name)},
                   {"email", optional(report.email)},
                   {"appVersion", optional(report.appVersion)},
                   {"appBuild", optional(report.appBuild)},
                   {"operatingSystem", optional(report.operatingSystem)},
                   {"status", report.status},
                   {"knownIssue", optional(report.knownIssue)},
                   {"notes", notes},
                   {"attachments", attachments}});
  }
  return all.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string csvField(std::string_view text) {
  std::string field = "\"";
  if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
    field += '\'';
  }
  for (char c : text) {
    field += c == '"' ? std::string("\"\"") : std::string(1, c);
  }
  return field + "\"";
}

std::string exportCsv(const std::vector<StoredReport>& reports) {
  std::string csv =
      "id,received,reason,frequency,status,known issue,app version,app build,operating system,"
      "name,email,subject,messages\r\n";
  for (const StoredReport& report : reports) {
    std::string messages;
    for (const std::string& message : report.messages) {
      messages += (messages.empty() ? "" : "\n\n") + message;
    }
    const std::vector<std::string> fields = {
        report.id,
        isoTime(report.receivedMs),
        report.reasonTitle.value_or(std::to_string(report.reasonId)),
        report.frequencyTitle.value_or(std::to_string(report.frequencyId)),
        report.status,
        report.knownIssue.value_or(""),
        report.appVersion.value_or(""),
        report.appBuild ? std::to_string(*report.appBuild) : "",
        report.operatingSystem.value_or(""),
        report.name.value_or(""),
        report.email.value_or(""),
        report.subject,
        messages};
    for (std::size_t i = 0; i < fields.size(); ++i) {
      csv += (i ? "," : "") + csvField(fields[i]);
    }
    csv += "\r\n";
  }
  return csv;
}

}  // namespace tessaline::server
