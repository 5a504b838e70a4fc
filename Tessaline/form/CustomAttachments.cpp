// The user's own files: checks against the configured limit, the open panel and its alerts.
#include <Tessaline/form/FeedbackFormViewModel.h>
#include <platform/FileAttributes.h>
#include <platform/FilePanel.h>
#include <platform/Formatters.h>
#include <platform/Logger.h>

#include <algorithm>

namespace tessaline {

Result<Unit> FeedbackFormViewModel::addCustomAttachment(const ReportAttachment& attachment) {
  if (!config_) {
    return AttachmentError{"Not configured."}.error();
  }
  const Url* url = attachment.fileURL();
  if (url == nullptr) {
    return AttachmentError{"Custom attachments must reference a file URL."}.error();
  }
  const auto size = platform::fileSizeOfItem(url->path());
  if (!size) {
    return size.error();
  }
  if (!size.value()) {
    return AttachmentError{"Failed to determine the file size for the attachment."}.error();
  }
  if (*size.value() >= config_->maxAttachmentSize) {
    return AttachmentError{"That file is too large, the maximum allowed file size is " +
                           formattedMaxAttachmentSize() + "."}
        .error();
  }
  customAttachments_.modify([&](auto& list) { list.push_back(attachment); });
  return Unit{};
}

void FeedbackFormViewModel::removeCustomAttachment(const ReportAttachment& attachment) {
  auto list = customAttachments_.get();
  const auto found = std::ranges::find(list, attachment);
  if (found == list.end()) {
    return;
  }
  list.erase(found);
  customAttachments_.set(std::move(list));
}

const std::string& FeedbackFormViewModel::formattedMaxAttachmentSize() {
  if (!formattedMaxAttachmentSize_) {
    formattedMaxAttachmentSize_ =
        config_ ? platform::ByteCountFormatter::string(
                      config_->maxAttachmentSize, platform::ByteCountFormatter::CountStyle::binary)
                : std::string();
  }
  return *formattedMaxAttachmentSize_;
}

void FeedbackFormViewModel::addAttachment() {
  const platform::OpenPanelOptions options{
      {"png", "jpg", "jpeg", "mp4", "m4v", "mov", "ips", "log", "txt", "json", "pdf"},
      "Attach",
      true};
  auto chosen = platform::FilePanel::current()->runModal(options);
  if (!chosen) {
    // Without a panel the user would see nothing happen; the alert says why.
    log_->error("Cannot show the open panel: %{public}@", chosen.error().description());
    platform::Alert::current()->runModal(
        {"Error Adding Attachment", chosen.error().description(), {"OK"}});
    return;
  }
  if (!chosen.value()) {
    return;  // cancelled
  }

  std::vector<ReportAttachment> attachments;
  for (const auto& url : *chosen.value()) {
    attachments.emplace_back(url.deletingPathExtensionOfLastComponent(),
                             ReportAttachment::file(url), url.pathExtension());
  }
  for (const auto& attachment : attachments) {
    const auto added = addCustomAttachment(attachment);
    if (!added && added.error().kind() == Error::Kind::attachment) {
      platform::Alert::current()->runModal(
          {"Error Adding Attachment", added.error().description(), {"OK"}});
    }
  }
}

}  // namespace tessaline
