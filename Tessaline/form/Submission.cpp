// The submission pipeline of the form: diagnosis, uploads, report.
#include <Tessaline/diagnostics/DiagnosisRunner.h>
#include <Tessaline/form/FeedbackFormViewModel.h>
#include <Tessaline/form/Outbox.h>
#include <Tessaline/form/detail/UploadMeter.h>
#include <Tessaline/service/AttachmentUploadResponse.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <Tessaline/service/FeedbackReportRequest.h>
#include <Tessaline/service/FeedbackSubmissionResponse.h>
#include <platform/FileSystem.h>
#include <platform/Logger.h>
#include <platform/MainQueue.h>
#include <platform/OpenFile.h>

#include <type_traits>

namespace tessaline {

void FeedbackFormViewModel::submit() {
  // Every submission counts its own uploads from zero and lists only its own answers; outcomes of
  // an earlier pass still on their way are not counted in this one.
  uploadableItemCount_ = 0;
  uploadedItemCount_ = 0;
  attachmentResponses_.clear();
  ++uploadPass_;
  if (feedbackRequiresAnyDiagnostics() && diagnosticsOptIn.get()) {
    state_.set(State::diagnosis());
    stateDescription_.set("Collecting Diagnostics");
    const std::weak_ptr<FeedbackFormViewModel> weak = weak_from_this();
    runner_->run(feedback.get(), [weak] {
      if (auto self = weak.lock()) {
        self->uploadAttachments();
      }
    });
    return;
  }
  uploadAttachments();
}

void FeedbackFormViewModel::retry() {
  state_.set(State::idle());
  if (outbox_) {  // a kept copy of this report would be sent twice
    static_cast<void>(outbox_->remove(feedback.get().localId));
  }
  installRunner(DiagnosisRunner::make(runner_->steps.get()));
  submit();  // starts the upload bookkeeping afresh
}

void FeedbackFormViewModel::uploadAttachments() {
  stateDescription_.set("Uploading Attachments");
  state_.set(State::loading());

  std::vector<ReportAttachment> attachments;
  for (const auto& item : diagnosticItems_.get()) {
    if (const Bytes* payload = item.state.payload()) {
      attachments.emplace_back(item.id, ReportAttachment::payload(*payload), item.fileExtension);
    }
  }
  for (const auto& attachment : customAttachments_.get()) {
    attachments.push_back(attachment);
  }

  passAttachments_ = attachments;
  uploadTransportError_.reset();
  if (attachments.empty()) {
    uploadProgress_.set({});
    submitReport();
    return;
  }
  const std::weak_ptr<FeedbackFormViewModel> weak = weak_from_this();
  uploadMeter_ = std::make_shared<detail::UploadMeter>(
      [weak, pass = uploadPass_](std::uint64_t sent, std::uint64_t total) {
        auto self = weak.lock();
        if (self && self->uploadPass_ == pass) {
          self->uploadProgress_.set({sent, total});
        }
      });
  uploadableItemCount_ = static_cast<std::int64_t>(attachments.size());
  for (const auto& attachment : attachments) {
    uploadAttachment(attachment, uploadMeter_);
  }
  // Updates reach the main queue only after this task, so this value comes first, unless every
  // file failed to open and the final value is already out.
  if (uploadedItemCount_ != uploadableItemCount_) {
    uploadProgress_.set({0, uploadMeter_->total()});
  }
}

void FeedbackFormViewModel::uploadAttachment(const ReportAttachment& attachment,
                                             const std::shared_ptr<detail::UploadMeter>& meter) {
  AttachmentData data;
  if (const Url* url = attachment.fileURL()) {
    // Streamed from an open descriptor: the size is fixed when the file is opened.
    auto file = platform::OpenFile::open(url->path());
    if (!file) {
      log_->error("Failed to read custom attachment file from %@: %{public}@", url->path(),
                  file.error().description());
      ++uploadedItemCount_;
      checkUploadsFinished();
      return;
    }
    data = std::make_shared<platform::OpenFile>(std::move(file).value());
  } else if (const Bytes* payload = attachment.payloadBytes()) {
    data = *payload;
  }
  const std::size_t index = meter->add(std::visit(
      [](const auto& content) -> std::uint64_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(content)>, Bytes>) {
          return content.size();
        } else {
          return content->size();
        }
      },
      data));

  log_->debug("Uploading attachment for %{public}@", attachment.id);
  const std::weak_ptr<FeedbackFormViewModel> weak = weak_from_this();
  const std::uint64_t pass = uploadPass_;
  // Outcomes arrive on the HTTP thread; the bookkeeping runs on the main queue, one outcome at a
  // time, so no increment is lost and the pass is found complete once.
  cancellables_.push_back(
      client_
          ->postAttachment(
              feedback.get(), attachment.id, attachment.fileExtension, std::move(data),
              [meter, index](std::uint64_t sent, std::uint64_t) { meter->update(index, sent); })
          .subscribe(
              [weak, pass](AttachmentUploadResponse response) {
                platform::MainQueue::async([weak, pass, response = std::move(response)] {
                  auto self = weak.lock();
                  if (self && self->uploadPass_ == pass) {
                    self->attachmentResponses_.push_back(response);
                  }
                });
              },
              [weak, pass, id = attachment.id, meter, index](const std::optional<Error>& error) {
                platform::MainQueue::async([weak, pass, id, meter, index, error] {
                  auto self = weak.lock();
                  if (!self || self->uploadPass_ != pass) {
                    return;
                  }
                  meter->finish(index);
                  if (error && Outbox::isTransportFailure(*error) && !self->uploadTransportError_) {
                    self->uploadTransportError_ = error;
                  }
                  self->log_->debug("Upload completed for %{public}@", id);
                  ++self->uploadedItemCount_;
                  self->checkUploadsFinished();
                });
              }));
}

void FeedbackFormViewModel::checkUploadsFinished() {
  if (uploadedItemCount_ != uploadableItemCount_) {
    return;
  }
  log_->debug("All uploads finished");
  if (uploadMeter_) {
    uploadMeter_->close();
  }
  platform::MainQueue::async([self = shared_from_this()] { self->submitReport(); });
}

void FeedbackFormViewModel::submitReport() {
  log_->debug("%{public}@", "submitReport()");
  state_.set(State::loading());
  stateDescription_.set("Submitting Report");

  std::vector<FeedbackReportRequest::Attachment> attachments;
  attachments.reserve(attachmentResponses_.size());
  for (const auto& response : attachmentResponses_) {
    attachments.push_back({response.attachmentId, response.name});
  }

  Feedback report = feedback.get();
  if (!report.messages.empty()) {
    report.messages.front().body += "\n\n" + basicEnvironmentInformation();
  }
  log_->log("Final feedback: %@", report.description());

  // A report missing an attachment lost in transit is kept whole rather than sent without it.
  if (outbox_ && uploadTransportError_) {
    keepReport(report, *uploadTransportError_);
    return;
  }

  const std::weak_ptr<FeedbackFormViewModel> weak = weak_from_this();
  auto request = client_->postReport(report, attachments);
  cancellables_.push_back(request.subscribe(
      [weak](FeedbackSubmissionResponse response) {
        platform::MainQueue::async([weak, id = std::move(response.id)] {
          if (auto self = weak.lock()) {
            self->reportAccepted(id);
          }
        });
      },
      [weak, report](const std::optional<Error>& error) {
        if (!error) {
          return;
        }
        platform::MainQueue::async([weak, report, error = *error] {
          if (auto self = weak.lock()) {
            if (self->outbox_ && Outbox::isTransportFailure(error)) {
              self->keepReport(report, error);
            } else {
              self->reportFailed(error);
            }
          }
        });
      }));
}

void FeedbackFormViewModel::reportAccepted(const std::string& id) {
  std::string text = "Thank you for sending your feedback!\nIt was assigned the ID " + id + ".";
  const auto contact = feedback.get().contactInformation;
  if (contact && !contact->email.empty()) {
    text += "\nYou'll be contacted over e-mail for updates if necessary.";
  }
  stateDescription_.set(std::move(text));
  state_.set(State::submitted());
}

void FeedbackFormViewModel::reportFailed(const Error& error) {
  log_->error("Report submission failed: %{public}@", error.description());
  state_.set(State::failed(Failure::generic(error.description())));
  stateDescription_.set("");
}

void FeedbackFormViewModel::keepReport(const Feedback& report, const Error& error) {
  Outbox::Report kept{report, {}};
  for (const auto& attachment : passAttachments_) {
    Bytes data;
    if (const Url* url = attachment.fileURL()) {
      auto read = platform::FileSystem::readFile(url->path());
      if (!read) {
        log_->error("Failed to read custom attachment file from %@: %{public}@", url->path(),
                    read.error().description());
        continue;
      }
      data = std::move(read).value();
    } else if (const Bytes* payload = attachment.payloadBytes()) {
      data = *payload;
    }
    kept.attachments.push_back({attachment.id, attachment.fileExtension, std::move(data)});
  }
  if (auto stored = outbox_->store(kept); !stored) {
    log_->error("Could not keep the report for later: %{public}@", stored.error().description());
    reportFailed(error);
    return;
  }
  log_->error("Report submission failed, kept for later: %{public}@", error.description());
  // A body that failed to decode says nothing useful to the user; its status does.
  const std::string reason = error.httpStatus() != 0 ? "the service answered with status " +
                                                           std::to_string(error.httpStatus())
                                                     : error.description();
  stateDescription_.set("Your feedback could not be sent now (" + reason +
                        ").\nIt was kept on this computer and will be sent later.");
  state_.set(State::submitted());
}

}  // namespace tessaline
