#include <Tessaline/records/Feedback.h>
#include <Tessaline/records/detail/Hash.h>
#include <Tessaline/records/detail/RecordCoding.h>

#include <charconv>

namespace tessaline {

std::optional<Feedback::Requirement> Feedback::requirementFromRawValue(std::string_view raw) {
  if (raw == "optional") {
    return Requirement::optional;
  }
  if (raw == "required") {
    return Requirement::required;
  }
  if (raw == "notRequired") {
    return Requirement::notRequired;
  }
  return std::nullopt;
}

std::string_view Feedback::rawValue(Requirement requirement) {
  switch (requirement) {
    case Requirement::optional:
      return "optional";
    case Requirement::required:
      return "required";
    case Requirement::notRequired:
      return "notRequired";
  }
  return "notRequired";
}

std::optional<Feedback::Message::Sender> Feedback::Message::senderFromRawValue(std::int64_t raw) {
  if (raw == 0) {
    return Sender::user;
  }
  if (raw == 1) {
    return Sender::support;
  }
  return std::nullopt;
}

Feedback::Reason Feedback::Reason::empty() {
  return Reason{
      -1,   "Select", Requirement::notRequired, Requirement::notRequired, Requirement::notRequired,
      false};
}

Feedback::ReproductionFrequency Feedback::ReproductionFrequency::empty() {
  return ReproductionFrequency{-1, "Select"};
}

Feedback::Feedback()
    : localId(Uuid::random()),
      creationDate(Date::now()),
      reason(Reason::empty()),
      reproductionFrequency(ReproductionFrequency::empty()) {}

Result<Feedback::Reason> Feedback::Reason::fromJson(std::string_view json) {
  return detail::decodeJson<Reason>(json);
}
Result<std::string> Feedback::Reason::toJson() const {
  return detail::encodeJson(*this);
}

Result<Feedback::ReproductionFrequency> Feedback::ReproductionFrequency::fromJson(
    std::string_view json) {
  return detail::decodeJson<ReproductionFrequency>(json);
}
Result<std::string> Feedback::ReproductionFrequency::toJson() const {
  return detail::encodeJson(*this);
}

Result<Feedback::Message> Feedback::Message::fromJson(std::string_view json) {
  return detail::decodeJson<Message>(json);
}
Result<std::string> Feedback::Message::toJson() const {
  return detail::encodeJson(*this);
}

Result<Feedback::ContactInformation> Feedback::ContactInformation::fromJson(std::string_view json) {
  return detail::decodeJson<ContactInformation>(json);
}
Result<std::string> Feedback::ContactInformation::toJson() const {
  return detail::encodeJson(*this);
}

Result<Feedback> Feedback::fromJson(std::string_view json) {
  return detail::decodeJson<Feedback>(json);
}
Result<std::string> Feedback::toJson() const {
  return detail::encodeJson(*this);
}

namespace {

// Text in double quotes with line breaks and other control characters escaped, so that the
// description stays on one line.
std::string quotedText(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string optionalQuoted(const std::optional<std::string>& text) {
  return text ? quotedText(*text) : "nil";
}

std::string dateText(const Date& date) {
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, date.timeIntervalSinceReferenceDate);
  return std::string(buffer, result.ptr);
}

std::string reasonText(const Feedback::Reason& reason) {
  std::string text =
      "Reason(id: " + std::to_string(reason.id) + ", title: " + quotedText(reason.title) +
      ", systemProfile: " + std::string(Feedback::rawValue(reason.systemProfile)) +
      ", appLogs: " + std::string(Feedback::rawValue(reason.appLogs)) +
      ", crashLogs: " + std::string(Feedback::rawValue(reason.crashLogs)) + ", requiresFrequency: ";
  if (reason.requiresFrequency) {
    text += *reason.requiresFrequency ? "true" : "false";
  } else {
    text += "nil";
  }
  return text + ")";
}

std::string messageText(const Feedback::Message& message) {
  std::string text = "Message(date: " + dateText(message.date) + ", sender: " +
                     (message.sender == Feedback::Message::Sender::user ? "user" : "support") +
                     ", body: " + quotedText(message.body) + ", attachments: [";
  for (std::size_t i = 0; i < message.attachments.size(); ++i) {
    text += (i == 0 ? "" : ", ") + quotedText(message.attachments[i].absoluteString());
  }
  return text + "])";
}

}  // namespace

std::string Feedback::description() const {
  std::string text =
      "Feedback(localId: " + localId.uuidString() + ", remoteId: " + optionalQuoted(remoteId) +
      ", creationDate: " + dateText(creationDate) + ", reason: " + reasonText(reason) +
      ", reproductionFrequency: ReproductionFrequency(id: " +
      std::to_string(reproductionFrequency.id) +
      ", title: " + quotedText(reproductionFrequency.title) +
      "), subject: " + optionalQuoted(subject) + ", messages: [";
  for (std::size_t i = 0; i < messages.size(); ++i) {
    text += (i == 0 ? "" : ", ") + messageText(messages[i]);
  }
  text += "], contactInformation: ";
  if (contactInformation) {
    text += "ContactInformation(name: " + quotedText(contactInformation->name) +
            ", email: " + quotedText(contactInformation->email) + ")";
  } else {
    text += "nil";
  }
  return text + ")";
}

namespace detail {

using Reason = Feedback::Reason;
using ReproductionFrequency = Feedback::ReproductionFrequency;
using Message = Feedback::Message;
using ContactInformation = Feedback::ContactInformation;

Feedback::Requirement JsonCoding<Feedback::Requirement>::decode(const JsonReader& in) {
  return in.enumeration(&Feedback::requirementFromRawValue);
}
OrderedJson JsonCoding<Feedback::Requirement>::encode(const Feedback::Requirement& value) {
  return std::string(Feedback::rawValue(value));
}

Message::Sender JsonCoding<Message::Sender>::decode(const JsonReader& in) {
  return in.enumeration(&Message::senderFromRawValue);
}
OrderedJson JsonCoding<Message::Sender>::encode(const Message::Sender& value) {
  return static_cast<std::int64_t>(value);
}

Reason JsonCoding<Reason>::decode(const JsonReader& in) {
  Reason reason;
  reason.id = in.required<std::int64_t>("id");
  reason.title = in.required<std::string>("title");
  reason.systemProfile = in.required<Feedback::Requirement>("systemProfile");
  reason.appLogs = in.required<Feedback::Requirement>("appLogs");
  reason.crashLogs = in.required<Feedback::Requirement>("crashLogs");
  reason.requiresFrequency = in.optional<bool>("requiresFrequency");
  return reason;
}
OrderedJson JsonCoding<Reason>::encode(const Reason& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "id", value.id);
  put(object, "title", value.title);
  put(object, "systemProfile", value.systemProfile);
  put(object, "appLogs", value.appLogs);
  put(object, "crashLogs", value.crashLogs);
  put(object, "requiresFrequency", value.requiresFrequency);
  return object;
}

ReproductionFrequency JsonCoding<ReproductionFrequency>::decode(const JsonReader& in) {
  ReproductionFrequency frequency;
  frequency.id = in.required<std::int64_t>("id");
  frequency.title = in.required<std::string>("title");
  return frequency;
}
OrderedJson JsonCoding<ReproductionFrequency>::encode(const ReproductionFrequency& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "id", value.id);
  put(object, "title", value.title);
  return object;
}

Message JsonCoding<Message>::decode(const JsonReader& in) {
  Message message;
  message.date = in.required<Date>("date");
  message.sender = in.required<Message::Sender>("sender");
  message.body = in.required<std::string>("body");
  message.attachments = in.required<std::vector<Url>>("attachments");
  return message;
}
OrderedJson JsonCoding<Message>::encode(const Message& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "date", value.date);
  put(object, "sender", value.sender);
  put(object, "body", value.body);
  put(object, "attachments", value.attachments);
  return object;
}

ContactInformation JsonCoding<ContactInformation>::decode(const JsonReader& in) {
  ContactInformation contact;
  contact.name = in.required<std::string>("name");
  contact.email = in.required<std::string>("email");
  return contact;
}
OrderedJson JsonCoding<ContactInformation>::encode(const ContactInformation& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "name", value.name);
  put(object, "email", value.email);
  return object;
}

Feedback JsonCoding<Feedback>::decode(const JsonReader& in) {
  Feedback feedback;
  feedback.localId = in.required<Uuid>("localId");
  feedback.remoteId = in.optional<std::string>("remoteId");
  feedback.creationDate = in.required<Date>("creationDate");
  feedback.reason = in.required<Reason>("reason");
  feedback.reproductionFrequency = in.required<ReproductionFrequency>("reproductionFrequency");
  feedback.subject = in.optional<std::string>("subject");
  feedback.messages = in.required<std::vector<Message>>("messages");
  feedback.contactInformation = in.optional<ContactInformation>("contactInformation");
  return feedback;
}
OrderedJson JsonCoding<Feedback>::encode(const Feedback& value) {
  OrderedJson object = OrderedJson::object();
  put(object, "localId", value.localId);
  put(object, "remoteId", value.remoteId);
  put(object, "creationDate", value.creationDate);
  put(object, "reason", value.reason);
  put(object, "reproductionFrequency", value.reproductionFrequency);
  put(object, "subject", value.subject);
  put(object, "messages", value.messages);
  put(object, "contactInformation", value.contactInformation);
  return object;
}

}  // namespace detail

}  // namespace tessaline

using tessaline::detail::hashValues;

std::size_t std::hash<tessaline::Feedback::Reason>::operator()(
    const tessaline::Feedback::Reason& value) const noexcept {
  return hashValues(value.id, value.title, value.systemProfile, value.appLogs, value.crashLogs,
                    value.requiresFrequency);
}

std::size_t std::hash<tessaline::Feedback::ReproductionFrequency>::operator()(
    const tessaline::Feedback::ReproductionFrequency& value) const noexcept {
  return hashValues(value.id, value.title);
}

std::size_t std::hash<tessaline::Feedback::Message>::operator()(
    const tessaline::Feedback::Message& value) const noexcept {
  return hashValues(value.date, value.sender, value.body, value.attachments);
}

std::size_t std::hash<tessaline::Feedback::ContactInformation>::operator()(
    const tessaline::Feedback::ContactInformation& value) const noexcept {
  return hashValues(value.name, value.email);
}

std::size_t std::hash<tessaline::Feedback>::operator()(
    const tessaline::Feedback& value) const noexcept {
  return hashValues(value.localId, value.remoteId, value.creationDate, value.reason,
                    value.reproductionFrequency, value.subject, value.messages,
                    value.contactInformation);
}
