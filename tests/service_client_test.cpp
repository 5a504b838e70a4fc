// The client of the feedback service against a real HTTPS server on loopback, the deferred
// exchanges it hands out, and the service's address and answer records.
#include <Tessaline/records/Bundle.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/service/APIError.h>
#include <Tessaline/service/Deferred.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <Tessaline/service/detail/ServiceAddress.h>
#include <Tessaline/service/detail/UserAgent.h>

#include <platform/Logger.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>
#include <platform/SystemInfo.h>
#include <platform/UserDefaults.h>

#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_set>

#include <unistd.h>

namespace {

using namespace tessaline;
using tessaline::testing::Reply;
using namespace std::chrono_literals;

const char* const kConfigJson = R"({"minVersion":"2.0","minBuildNumber":300,
  "minBuildNumberBeta":280,"minMessageLength":10,"maxMessageLength":5000,
  "maxAttachmentSize":9437184,"reasons":[{"id":1,"title":"Crash","systemProfile":"required",
  "appLogs":"optional","crashLogs":"notRequired","requiresFrequency":true}],
  "frequencies":[{"id":2,"title":"Sometimes"}],"blockedOSBuilds":[],"knownIssues":[],
  "somethingNew":"ignored"})";

// What one subscription received, once it completed.
template <class T>
struct Outcome {
  std::optional<T> value;
  int values = 0;
  std::optional<Error> failure = Error(Error::Kind::generic, "no outcome within a minute");
  std::thread::id thread;  // where it completed
};

template <class T>
std::future<Outcome<T>> subscribe(const Deferred<T>& deferred, Cancellable& handle) {
  auto outcome = std::make_shared<Outcome<T>>();
  auto done = std::make_shared<std::promise<Outcome<T>>>();
  handle = deferred.subscribe(
      [outcome](T value) {
        outcome->value = std::move(value);
        ++outcome->values;
      },
      [outcome, done](std::optional<Error> failure) {
        outcome->failure = std::move(failure);
        outcome->thread = std::this_thread::get_id();
        done->set_value(std::move(*outcome));
      });
  return done->get_future();
}

template <class T>
Outcome<T> await(const Deferred<T>& deferred) {
  Cancellable handle;
  auto outcome = subscribe(deferred, handle);
  return outcome.wait_for(60s) == std::future_status::ready ? outcome.get() : Outcome<T>{};
}

// Runs an update check and drains the main queue until its completion ran there.
struct UpdateOutcome {
  std::optional<Result<UpdateCheckResponse>> result;
  bool ranInsideCall = false;
  bool ranOnMainQueue = false;
};

UpdateOutcome checkForUpdates(const FeedbackAPIClient& client) {
  UpdateOutcome outcome;
  bool returned = false;
  client.checkForUpdates([&](Result<UpdateCheckResponse> result) {
    outcome.ranInsideCall = !returned;
    outcome.ranOnMainQueue = platform::MainQueue::isCurrent();
    outcome.result = std::move(result);
  });
  returned = true;
  platform::MainQueue::drainUntil([&] { return outcome.result.has_value(); }, 60s);
  return outcome;
}

Feedback fullFeedback() {
  Feedback feedback;
  feedback.reason.id = 4;
  feedback.reproductionFrequency.id = 2;
  feedback.subject = "Crash on \"save\"";
  feedback.messages = {Feedback::Message{
      Date{0}, Feedback::Message::Sender::user, "It crashed.\nTwice.", {*Url::parse("file:///a")}}};
  feedback.contactInformation = Feedback::ContactInformation{"Ada", "ada@example.com"};
  feedback.remoteId = "remote-1";
  return feedback;
}

class ServiceClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::MainBundle::setInfoDictionary({{"CFBundleShortVersionString", std::string("2.4.1")},
                                             {"CFBundleVersion", std::string("310")}});
    server.reset();
    client = std::make_shared<FeedbackAPIClient>("stable", Environment::current());
  }

  tessaline::testing::TestServer& server =
      tessaline::testing::serviceServer();  // before the environment is read
  std::shared_ptr<FeedbackAPIClient> client;
};

TEST_F(ServiceClientTest, FetchConfigSendsOnePlainGetPerSubscriptionAndReadsOnlyTheBody) {
  server.setReply("GET", "/v1/config", Reply::json(kConfigJson, 500));
  const auto unused = client->fetchConfig();
  const auto deferred = client->fetchConfig();
  const auto outcome = await(client->fetchConfig());
  ASSERT_FALSE(outcome.failure) << outcome.failure->description();
  EXPECT_EQ(*outcome.value, Config::fromJson(kConfigJson).value());
  EXPECT_EQ(outcome.values, 1);
  EXPECT_NE(outcome.thread, std::this_thread::get_id()) << "decoded on the HTTP thread";
  auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u) << "nothing is sent before subscribing";
  EXPECT_EQ(requests[0].requestLine(), "GET /v1/config");
  EXPECT_EQ(requests[0].header("User-Agent"), FeedbackAPIClient::userAgent());
  EXPECT_FALSE(requests[0].header("Content-Type"));
  ASSERT_FALSE(await(deferred).failure);
  ASSERT_FALSE(await(deferred).failure);
  EXPECT_EQ(server.requests().size(), 3u);

  server.setReply("GET", "/v1/config", Reply::json("", 200));
  EXPECT_EQ(await(client->fetchConfig()).failure, Config::fromJson("").error());

  // The fixture's client built the User-Agent with the session, once, showing the model.
  const std::string built = FeedbackAPIClient::userAgent();
  const std::string expected = platform::removingControlCharacters(
      "Pairloom 2.4.1 (310) - " + platform::SystemInfo::operatingSystemVersionString());
  EXPECT_EQ(built,
            expected + " - " + platform::removingControlCharacters(hardwareModelIdentifier()));
  EXPECT_EQ(built.find_first_of(std::string("\x7f\n\r\t\0", 5)), std::string::npos) << built;
  platform::UserDefaults::standard().setBool("TSDisableDeviceModelInUserAgent", true);
  EXPECT_EQ(detail::buildUserAgent(), expected);
  EXPECT_EQ(FeedbackAPIClient::userAgent(), built);
  platform::UserDefaults::standard().removeObject("TSDisableDeviceModelInUserAgent");
}

TEST_F(ServiceClientTest, AttachmentsArePostedRawWithTheirQueryItemsEncoded) {
  server.setReply("POST", "/v1/attachments",
                  Reply::json(R"({"localId":"l-1","attachmentId":"att 7","name":"log.zip"})"));
  const Feedback feedback;
  const std::string bytes("PK\x03\x04\x00\xff binary+data", 18);
  const auto outcome =
      await(client->postAttachment(feedback, "crash log+1", "tar gz+&=", Bytes(bytes)));
  ASSERT_FALSE(outcome.failure) << outcome.failure->description();
  EXPECT_EQ(*outcome.value, (AttachmentUploadResponse{"l-1", "att 7", "log.zip"}));

  // Empty, while standard input never ends: reading it would hang the upload.
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const int savedInput = dup(STDIN_FILENO);
  ASSERT_EQ(dup2(pipeEnds[0], STDIN_FILENO), STDIN_FILENO);
  const auto empty = await(client->postAttachment(Feedback(), "empty", "txt", Bytes()));
  dup2(savedInput, STDIN_FILENO);
  for (const int fd : {savedInput, pipeEnds[0], pipeEnds[1]}) {
    close(fd);
  }
  ASSERT_FALSE(empty.failure) << empty.failure->description();

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].requestLine(),
            "POST /v1/attachments?fileId=crash%20log%2B1&localId=" + feedback.localId.uuidString() +
                "&extension=tar%20gz%2B%26%3D");
  EXPECT_TRUE(requests[0].body == bytes);
  EXPECT_FALSE(requests[0].header("Content-Type"));
  EXPECT_EQ(requests[1].header("Content-Length"), "0");

  const std::string missingKey = R"({"localId":"l-1","name":"log.zip"})";
  server.setReply("POST", "/v1/attachments", Reply::json(missingKey));
  EXPECT_EQ(await(client->postAttachment(Feedback(), "id", "zip", Bytes("x", 1))).failure,
            AttachmentUploadResponse::fromJson(missingKey).error());
}

TEST_F(ServiceClientTest, AReportIsCompactJsonInFieldOrderWithPlaceholdersButNoNulls) {
  server.setReply("POST", "/v1/reports", Reply::json(R"({"id":"FB-1042","more":true})", 201));
  const Feedback feedback = fullFeedback();
  const auto outcome =
      await(client->postReport(feedback, {{"att-1", "SystemProfile.json"}, {"att-2", "b.zip"}}));
  ASSERT_FALSE(outcome.failure) << outcome.failure->description();
  EXPECT_EQ(outcome.value->id, "FB-1042");
  Feedback bare;
  bare.reason.id = 1;
  ASSERT_FALSE(await(client->postReport(bare, {})).failure);
  bare.subject = "";
  ASSERT_FALSE(await(client->postReport(bare, {})).failure);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].requestLine(), "POST /v1/reports");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].body,
            R"({"localId":")" + feedback.localId.uuidString() +
                R"(","reasonId":4,"frequencyId":2,"subject":"Crash on \"save\"",)"
                R"("messages":[{"body":"It crashed.\nTwice."}],"name":"Ada",)"
                R"("email":"ada@example.com","attachments":[{"id":"att-1",)"
                R"("name":"SystemProfile.json"},{"id":"att-2","name":"b.zip"}]})");
  const std::string prefix = R"({"localId":")" + bare.localId.uuidString() +
                             R"(","reasonId":1,"frequencyId":-1,"subject":)";
  EXPECT_EQ(requests[1].body, prefix + R"json("(No Subject)","messages":[],"attachments":[]})json");
  EXPECT_EQ(requests[2].body, prefix + R"("","messages":[],"attachments":[]})");

  // Text that is not UTF-8 fails at once, inside subscribe, without traffic.
  bare.messages = {Feedback::Message{Date{0}, Feedback::Message::Sender::user, "\xC3\x28", {}}};
  Cancellable handle;
  auto completion = subscribe(client->postReport(bare, {}), handle);
  ASSERT_EQ(completion.wait_for(0s), std::future_status::ready);
  const auto refused = completion.get();
  EXPECT_EQ(refused.thread, std::this_thread::get_id());
  EXPECT_EQ(refused.failure, APIError(APIError::kFailedToConstructRequest).error());
  EXPECT_EQ(server.requests().size(), 3u);
}

// Update checks send the build and the train set when they started; unusable answers give the
// fallback and one error line.
TEST_F(ServiceClientTest, UpdateChecksSendTheBuildAndTheTrainSetWhenTheyStarted) {
  server.setReply("GET", "/v1/updateCheck",
                  Reply::json(R"({"beta":true,"latestBuild":1,"updateAvailable":false})"));
  client->setReleaseTrainID("beta one+plus");
  const auto outcome = checkForUpdates(*client);
  ASSERT_TRUE(outcome.result && *outcome.result);
  EXPECT_EQ(outcome.result->value(), (UpdateCheckResponse{true, 1, false, std::nullopt}));
  EXPECT_FALSE(outcome.ranInsideCall);
  EXPECT_TRUE(outcome.ranOnMainQueue);
  std::optional<Result<UpdateCheckResponse>> first;
  std::optional<Result<UpdateCheckResponse>> second;
  client->setReleaseTrainID("one");
  client->checkForUpdates([&](Result<UpdateCheckResponse> result) { first = std::move(result); });
  client->setReleaseTrainID("two");
  client->checkForUpdates([&](Result<UpdateCheckResponse> result) { second = std::move(result); });
  ASSERT_TRUE(platform::MainQueue::drainUntil([&] { return first && second; }, 60s));
  platform::MainBundle::setInfoDictionary({{"CFBundleShortVersionString", std::string("2.4.1")}});
  ASSERT_TRUE(checkForUpdates(*client).result);

  std::vector<std::string> lines;
  for (const auto& request : server.requests()) {
    lines.push_back(request.requestLine());
    EXPECT_EQ(request.header("User-Agent"), FeedbackAPIClient::userAgent());
  }
  std::sort(lines.begin() + 1, lines.begin() + 3);
  EXPECT_EQ(lines,
            (std::vector<std::string>{"GET /v1/updateCheck?buildNumber=310&train=beta%20one%2Bplus",
                                      "GET /v1/updateCheck?buildNumber=310&train=one",
                                      "GET /v1/updateCheck?buildNumber=310&train=two",
                                      "GET /v1/updateCheck?buildNumber=-1&train=two"}));

  // Any status with a decodable body is an answer; an unusable one gives the fallback and one
  // error line; no answer at all is a transport error, not logged.
  const std::string decodeLine = "Failed to decode update check response: %{public}@";
  const std::string noDataLine = "No data returned from update check service";
  const std::string noLatest = R"({"beta":false,"updateAvailable":true,"message":null})";
  struct Case {
    Reply reply;
    std::string line;  // "" for none
    std::string message;
    UpdateCheckResponse value = UpdateCheckResponse::fallback();
  };
  const Case cases[] = {
      {Reply::json(noLatest), decodeLine,
       "Failed to decode update check response: " +
           UpdateCheckResponse::fromJson(noLatest).error().description()},
      {Reply::json("", 200), decodeLine, ""},
      {Reply::json("", 204), noDataLine, noDataLine},
      {Reply::json(R"({"beta":true,"latestBuild":9,"updateAvailable":false,"message":null})", 404),
       "", "", UpdateCheckResponse{true, 9, false, std::nullopt}},
      {Reply::drop(), "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply.status);
    platform::LogCapture capture;
    server.setReply("GET", "/v1/updateCheck", c.reply);
    const auto outcome = checkForUpdates(*client);
    ASSERT_TRUE(outcome.result);
    EXPECT_TRUE(outcome.ranOnMainQueue);
    EXPECT_EQ(capture.count(decodeLine, "FeedbackAPIClient"), c.line == decodeLine ? 1u : 0u);
    EXPECT_EQ(capture.count(noDataLine, "FeedbackAPIClient"), c.line == noDataLine ? 1u : 0u);
    if (c.reply.action == Reply::Action::dropConnection) {
      EXPECT_EQ(outcome.result->error().kind(), Error::Kind::transport);
      continue;
    }
    EXPECT_EQ(outcome.result->value(), c.value);
    const auto records = capture.withFormat(c.line);
    if (!c.line.empty()) {
      ASSERT_EQ(records.size(), 1u);
      EXPECT_EQ(records[0].level, platform::LogLevel::error);
      EXPECT_EQ(records[0].subsystem, "brisquet.Tessaline");
      EXPECT_TRUE(c.message.empty() || records[0].message == c.message) << records[0].message;
    }
  }
}

// An override that is not acceptable is ignored with an error line, for the built-in address.
TEST(ServiceAddressTest, AcceptsHttpsAnywhereAndHttpOnlyOnThisMachine) {
  const std::pair<const char*, bool> cases[] = {
      {"https://feedback.example/v1", true},
      {"http://127.0.0.1:8080/v1", true},
      {"http://localhost:8080/v1", true},
      {"http://[::1]:8080/v1", true},
      {"http://feedback.example/v1", false},
      {"http://127.0.0.1.example/v1", false},
      {"ftp://127.0.0.1/v1", false},
      {"not a url", false},
      {"https:///v1", false},
      {"https://feedback.example/v1?x=1", false},
      {"https://user@feedback.example/v1", false},
      {"https://feedback.example/v1#top", false},
  };
  for (const auto& [text, accepted] : cases) {
    EXPECT_EQ(detail::parseServiceURL(text).ok(), accepted) << text;
  }
  ::setenv("TESSALINE_SERVICE_URL", "http://feedback.example/v1", 1);
  platform::LogCapture capture;
  EXPECT_EQ(Environment::current().baseURL().scheme(), "https");
  const auto lines =
      capture.withFormat("Ignoring TESSALINE_SERVICE_URL %{public}@: %{public}@", "Environment");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, platform::LogLevel::error);
  EXPECT_EQ(lines[0].message,
            "Ignoring TESSALINE_SERVICE_URL http://feedback.example/v1: plain http is accepted "
            "only for this machine");
  EXPECT_EQ(APIError("say \"hi\"").description(),
            R"(APIError(localizedDescription: "say \"hi\""))");
}

TEST(ServiceRecordsTest, AnswersAndRequestsEncodeInFieldOrderAndHashByValue) {
  EXPECT_EQ(UpdateCheckResponse::fallback().toJson().value(),
            R"({"beta":false,"latestBuild":0,"updateAvailable":false})");
  EXPECT_EQ((UpdateCheckResponse{true, 5, true, "New"}).toJson().value(),
            R"({"beta":true,"latestBuild":5,"updateAvailable":true,"message":"New"})");
  EXPECT_FALSE(UpdateCheckResponse::fromJson(R"({"beta":"no","latestBuild":1,)"
                                             R"("updateAvailable":true})"));
  EXPECT_EQ(FeedbackSubmissionResponse::fromJson(R"({"id":"x"})").value().toJson().value(),
            R"({"id":"x"})");
  EXPECT_EQ(AttachmentUploadResponse({"l", "a", "n"}).toJson().value(),
            R"({"localId":"l","attachmentId":"a","name":"n"})");
  // The remote id and the dates stay on this machine.
  const auto request = FeedbackReportRequest::make(fullFeedback(), {{"a", "b"}});
  const std::string json = request.toJson().value();
  EXPECT_EQ(json.find("remoteId"), std::string::npos);
  EXPECT_EQ(json.find("date"), std::string::npos);
  EXPECT_EQ(json.find("Date"), std::string::npos);
  EXPECT_EQ(FeedbackReportRequest::fromJson(json).value(), request);

  const auto other = FeedbackReportRequest::make(fullFeedback(), {{"a", "c"}});
  EXPECT_EQ(std::unordered_set<FeedbackReportRequest>({request, other, request}).size(), 2u);
  EXPECT_EQ(std::unordered_set<UpdateCheckResponse>(
                {{true, 5, true, "New"}, {true, 5, true, "New"}, UpdateCheckResponse::fallback()})
                .size(),
            2u);
  EXPECT_EQ(std::unordered_set<AttachmentUploadResponse>({{"l", "a", "n"}, {"l", "a", "n"}}).size(),
            1u);
  EXPECT_EQ(std::unordered_set<FeedbackSubmissionResponse>({{"x"}, {"x"}, {"y"}}).size(), 2u);
}

// A deferred whose exchanges wait until the test finishes them, and what its subscribers saw.
struct ManualExchanges {
  std::vector<Deferred<int>::Sink> sinks;
  int cancelled = 0;
  std::vector<std::string> events;

  Deferred<int> deferred() {
    return Deferred<int>([this](Deferred<int>::Sink sink) {
      sinks.push_back(std::move(sink));
      return Cancellable([this] { ++cancelled; });
    });
  }
  Cancellable subscribe(const Deferred<int>& deferred, const std::string& name) {
    return deferred.subscribe(
        [this, name](int value) { events.push_back(name + " value " + std::to_string(value)); },
        [this, name](std::optional<Error> error) {
          events.push_back(name + (error ? " failure " + error->description() : " finished"));
        });
  }
};

TEST(DeferredTest, EachSubscriptionStartsOneExchangeAndGetsOneOutcome) {
  ManualExchanges exchanges;
  const auto deferred = exchanges.deferred();
  EXPECT_TRUE(exchanges.sinks.empty());
  auto a = exchanges.subscribe(deferred, "a");
  auto b = exchanges.subscribe(deferred, "b");
  auto c = exchanges.subscribe(deferred, "c");
  { auto dropped = exchanges.subscribe(deferred, "dropped"); }
  ASSERT_EQ(exchanges.sinks.size(), 4u);
  c.cancel();
  EXPECT_EQ(exchanges.cancelled, 2);
  exchanges.sinks[0](7);
  exchanges.sinks[0](8);
  exchanges.sinks[0](Error(Error::Kind::transport, "late"));
  exchanges.sinks[1](Error(Error::Kind::transport, "offline"));
  exchanges.sinks[2](1);
  exchanges.sinks[3](1);
  auto failed = exchanges.subscribe(Deferred<int>::failed(Error(Error::Kind::api, "no")), "f");
  EXPECT_EQ(exchanges.events, (std::vector<std::string>{"a value 7", "a finished",
                                                        "b failure offline", "f failure no"}));

  // Cancelling from the value handler skips the completion; handlers' exceptions stay inside.
  Cancellable handle;
  int values = 0;
  handle = exchanges.deferred().subscribe(
      [&](int) {
        ++values;
        handle.cancel();
      },
      [](std::optional<Error>) { ADD_FAILURE() << "completed after a cancel"; });
  exchanges.sinks.back()(3);
  EXPECT_EQ(values, 1);
  bool completed = false;
  auto throwing = exchanges.deferred().subscribe([](int) { throw std::runtime_error("value"); },
                                                 [&](std::optional<Error>) {
                                                   completed = true;
                                                   throw std::runtime_error("completion");
                                                 });
  EXPECT_NO_THROW(exchanges.sinks.back()(1));
  EXPECT_TRUE(completed);
  EXPECT_NO_THROW(Deferred<int>::failed(Error(Error::Kind::api, "x"))
                      .subscribe({}, [](std::optional<Error>) { throw 1; })
                      .cancel());
}

}  // namespace
