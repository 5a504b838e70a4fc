#pragma once

// The JSON codings of the records, for records and requests that nest them.

#include <Tessaline/records/AppVersion.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/records/PreferencesDump.h>
#include <Tessaline/records/RemoteFeedback.h>
#include <Tessaline/records/detail/Json.h>

namespace tessaline::detail {

#define TESSALINE_DECLARE_JSON_CODING(Type)       \
  template <>                                     \
  struct JsonCoding<Type> {                       \
    static Type decode(const JsonReader& in);     \
    static OrderedJson encode(const Type& value); \
  }

TESSALINE_DECLARE_JSON_CODING(AppVersion);
TESSALINE_DECLARE_JSON_CODING(Feedback::Requirement);
TESSALINE_DECLARE_JSON_CODING(Feedback::Reason);
TESSALINE_DECLARE_JSON_CODING(Feedback::ReproductionFrequency);
TESSALINE_DECLARE_JSON_CODING(Feedback::Message::Sender);
TESSALINE_DECLARE_JSON_CODING(Feedback::Message);
TESSALINE_DECLARE_JSON_CODING(Feedback::ContactInformation);
TESSALINE_DECLARE_JSON_CODING(Feedback);
TESSALINE_DECLARE_JSON_CODING(KnownIssue);
TESSALINE_DECLARE_JSON_CODING(OSBuild);
TESSALINE_DECLARE_JSON_CODING(Config);
TESSALINE_DECLARE_JSON_CODING(RemoteFeedback::Attachment);
TESSALINE_DECLARE_JSON_CODING(RemoteFeedback);
TESSALINE_DECLARE_JSON_CODING(PreferencesDump);

#undef TESSALINE_DECLARE_JSON_CODING

}  // namespace tessaline::detail
