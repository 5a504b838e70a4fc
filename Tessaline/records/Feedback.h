#pragma once

#include <Tessaline/Error.h>
#include <Tessaline/Export.h>
#include <Tessaline/Url.h>
#include <Tessaline/records/Uuid.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaline {

// The report that the user composes in the form.
struct TESSALINE_EXPORT Feedback {
  // Which diagnostics a reason asks for; travels as its raw text.
  enum class Requirement { optional, required, notRequired };
  static std::optional<Requirement> requirementFromRawValue(std::string_view raw);
  static std::string_view rawValue(Requirement requirement);

  struct TESSALINE_EXPORT Reason {
    std::int64_t id = -1;
    std::string title;
    Requirement systemProfile = Requirement::notRequired;
    Requirement appLogs = Requirement::notRequired;
    Requirement crashLogs = Requirement::notRequired;
    std::optional<bool> requiresFrequency;

    // id -1, "Select", nothing required, requiresFrequency false (present).
    static Reason empty();
    static Result<Reason> fromJson(std::string_view json);
    Result<std::string> toJson() const;
    friend bool operator==(const Reason&, const Reason&) = default;
  };

  struct TESSALINE_EXPORT ReproductionFrequency {
    std::int64_t id = -1;
    std::string title;

    static ReproductionFrequency empty();  // id -1, "Select"
    static Result<ReproductionFrequency> fromJson(std::string_view json);
    Result<std::string> toJson() const;
    friend bool operator==(const ReproductionFrequency&, const ReproductionFrequency&) = default;
  };

  struct TESSALINE_EXPORT Message {
    enum class Sender : int { user = 0, support = 1 };
    static std::optional<Sender> senderFromRawValue(std::int64_t raw);

    Date date;
    Sender sender = Sender::user;
    std::string body;
    std::vector<Url> attachments;

    static Result<Message> fromJson(std::string_view json);
    Result<std::string> toJson() const;
    friend bool operator==(const Message&, const Message&) = default;
  };

  struct TESSALINE_EXPORT ContactInformation {
    std::string name;
    std::string email;

    static Result<ContactInformation> fromJson(std::string_view json);
    Result<std::string> toJson() const;

    friend bool operator==(const ContactInformation&, const ContactInformation&) = default;
  };

  // A published constant that nothing reads; the enforced limit is Config::maxAttachmentSize.
  static constexpr std::int64_t maxAttachmentSize = 9 * 1024 * 1024;

  Uuid localId;
  std::optional<std::string> remoteId;
  Date creationDate;
  Reason reason;
  ReproductionFrequency reproductionFrequency;
  std::optional<std::string> subject;
  std::vector<Message> messages;
  std::optional<ContactInformation> contactInformation;

  // A new report: a random localId, created now, the placeholder reason and frequency.
  Feedback();

  const Uuid& id() const { return localId; }

  static Result<Feedback> fromJson(std::string_view json);
  Result<std::string> toJson() const;
  // A readable one-line form for logs.
  std::string description() const;

  friend bool operator==(const Feedback&, const Feedback&) = default;
};

}  // namespace tessaline

template <>
struct TESSALINE_EXPORT std::hash<tessaline::Feedback::Reason> {
  std::size_t operator()(const tessaline::Feedback::Reason& value) const noexcept;
};
template <>
struct TESSALINE_EXPORT std::hash<tessaline::Feedback::ReproductionFrequency> {
  std::size_t operator()(const tessaline::Feedback::ReproductionFrequency& value) const noexcept;
};
template <>
struct TESSALINE_EXPORT std::hash<tessaline::Feedback::Message> {
  std::size_t operator()(const tessaline::Feedback::Message& value) const noexcept;
};
template <>
struct TESSALINE_EXPORT std::hash<tessaline::Feedback::ContactInformation> {
  std::size_t operator()(const tessaline::Feedback::ContactInformation& value) const noexcept;
};
template <>
struct TESSALINE_EXPORT std::hash<tessaline::Feedback> {
  std::size_t operator()(const tessaline::Feedback& value) const noexcept;
};
