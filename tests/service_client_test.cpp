#include <Tessaline/records/Bundle.h>
#include <Tessaline/records/Config.h>
#include <Tessaline/records/Feedback.h>
#include <Tessaline/service/APIError.h>
#include <Tessaline/service/Environment.h>
#include <Tessaline/service/FeedbackAPIClient.h>
#include <Tessaline/service/detail/ServiceAddress.h>
#include <Tessaline/service/detail/UserAgent.h>

#include <platform/HttpSession.h>
#include <platform/Logger.h>
#include <platform/MainBundle.h>
#include <platform/MainQueue.h>
#include <platform/OpenFile.h>
#include <platform/SystemInfo.h>
#include <platform/UserDefaults.h>

#include "support/TemporaryDirectory.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

using namespace tessaline;
using tessaline::testing::Reply;
using tessaline::testing::TestServer;
using namespace std::chrono_literals;

const char* const kConfigJson = R"({"minVersion":"2.0","minBuildNumber":300,
  "minBuildNumberBeta":280,"minMessageLength":10,"maxMessageLength":5000,
  "maxAttachmentSize":9437184,"reasons":[{"id":1,"title":"Crash","systemProfile":"required",
  "appLogs":"optional","crashLogs":"notRequired","requiresFrequency":true}],
  "frequencies":[{"id":2,"title":"Sometimes"}],"blockedOSBuilds":[],"knownIssues":[],
  "somethingNew":"ignored"})";

// The outcome of one subscription, waited for with a bound.
template <class T>
struct Outcome {
  std::optional<T> value;
  std::optional<Error> failure;
  bool completed = false;
  int values = 0;
  std::thread::id thread;
};

template <class T>
class Subscriber {
 public:
  explicit Subscriber(const Deferred<T>& deferred) {
    handle_ = deferred.subscribe(
        [state = state_](T value) {
          std::lock_guard lock(state->mutex);
          state->outcome.value = std::move(value);
          ++state->outcome.values;
          state->outcome.thread = std::this_thread::get_id();
        },
        [state = state_](std::optional<Error> failure) {
          std::lock_guard lock(state->mutex);
          state->outcome.failure = std::move(failure);
          state->outcome.completed = true;
          state->outcome.thread = std::this_thread::get_id();
          state->changed.notify_all();
        });
  }

  Outcome<T> wait() {
    std::unique_lock lock(state_->mutex);
    state_->changed.wait_for(lock, 60s, [&] { return state_->outcome.completed; });
    return state_->outcome;
  }
  Outcome<T> now() {
    std::lock_guard lock(state_->mutex);
    return state_->outcome;
  }
  void cancel() { handle_.cancel(); }

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    Outcome<T> outcome;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
  Cancellable handle_;
};

template <class T>
Outcome<T> await(const Deferred<T>& deferred) {
  return Subscriber<T>(deferred).wait();
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
  Feedback::Message message;
  message.body = "It crashed.\nTwice.";
  message.attachments = {*Url::parse("file:///tmp/a.txt")};
  feedback.messages = {message};
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

  TestServer& server =
      tessaline::testing::serviceServer();  // before the first use of the environment
  std::shared_ptr<FeedbackAPIClient> client;
};

TEST_F(ServiceClientTest, TheEnvironmentPointsAtTheTestService) {
  EXPECT_EQ(Environment::current().baseURL().absoluteString(), server.baseURL());
  EXPECT_EQ(client->environment(), Environment::current());
  EXPECT_EQ(std::hash<Environment>{}(client->environment()),
            std::hash<Environment>{}(Environment::current()));
}

TEST_F(ServiceClientTest, FetchConfigIsOnePlainGetDecodedOnTheHttpThread) {
  server.setReply("GET", "/v1/config", Reply::json(kConfigJson));
  const auto outcome = await(client->fetchConfig());
  ASSERT_TRUE(outcome.completed);
  ASSERT_FALSE(outcome.failure) << outcome.failure->description();
  ASSERT_TRUE(outcome.value);
  EXPECT_EQ(*outcome.value, Config::fromJson(kConfigJson).value());
  EXPECT_EQ(outcome.values, 1);
  EXPECT_NE(outcome.thread, std::this_thread::get_id());

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine(), "GET /v1/config");
  EXPECT_EQ(requests[0].query, "");
  EXPECT_EQ(requests[0].body, "");
  EXPECT_EQ(requests[0].header("User-Agent"), FeedbackAPIClient::userAgent());
  EXPECT_FALSE(requests[0].header("Content-Type"));
}

TEST_F(ServiceClientTest, NothingIsSentBeforeSubscribingAndEachSubscriptionSendsItsOwn) {
  server.setReply("GET", "/v1/config", Reply::json(kConfigJson));
  const auto unused = client->fetchConfig();
  const auto deferred = client->fetchConfig();
  ASSERT_FALSE(await(client->fetchConfig()).failure);
  EXPECT_EQ(server.requests().size(), 1u);  // neither unsubscribed request went out

  ASSERT_FALSE(await(deferred).failure);
  ASSERT_FALSE(await(deferred).failure);
  EXPECT_EQ(server.requests().size(), 3u);
}

TEST_F(ServiceClientTest, TheStatusIsNeverLookedAtOnlyTheBody) {
  server.setReply("GET", "/v1/config", Reply::json(kConfigJson, 500));
  const auto served = await(client->fetchConfig());
  ASSERT_FALSE(served.failure);
  EXPECT_EQ(*served.value, Config::fromJson(kConfigJson).value());

  server.setReply("GET", "/v1/config", Reply::json("", 200));
  const auto empty = await(client->fetchConfig());
  ASSERT_TRUE(empty.failure);
  EXPECT_FALSE(empty.value);
  EXPECT_EQ(*empty.failure, Config::fromJson("").error());
  EXPECT_EQ(empty.failure->kind(), Error::Kind::decoding);
}

TEST_F(ServiceClientTest, ACancelledFetchDeliversNothing) {
  server.setReply("GET", "/v1/config", Reply::never());
  Subscriber<Config> subscriber(client->fetchConfig());
  ASSERT_TRUE(server.waitForRequests(1));
  subscriber.cancel();
  server.reset();  // the held request now ends with a closed connection

  server.setReply("GET", "/v1/config", Reply::json(kConfigJson));
  ASSERT_FALSE(await(client->fetchConfig()).failure);  // the same worker has moved on
  const auto cancelled = subscriber.now();
  EXPECT_FALSE(cancelled.completed);
  EXPECT_EQ(cancelled.values, 0);
}

TEST_F(ServiceClientTest, AnAttachmentIsPostedRawWithItsQueryItemsEncoded) {
  server.setReply("POST", "/v1/attachments",
                  Reply::json(R"({"localId":"l-1","attachmentId":"att 7","name":"log.zip",)"
                              R"("extra":[1,2]})"));
  const Feedback feedback;
  const std::string bytes("PK\x03\x04\x00\xff binary+data", 18);
  const auto outcome =
      await(client->postAttachment(feedback, "crash log+1", "tar gz+&=", Bytes(bytes)));
  ASSERT_FALSE(outcome.failure) << outcome.failure->description();
  EXPECT_EQ(*outcome.value, (AttachmentUploadResponse{"l-1", "att 7", "log.zip"}));

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine(),
            "POST /v1/attachments?fileId=crash%20log%2B1&localId=" + feedback.localId.uuidString() +
                "&extension=tar%20gz%2B%26%3D");
  EXPECT_TRUE(requests[0].body == bytes);
  EXPECT_EQ(requests[0].header("Content-Length"), std::to_string(bytes.size()));
  EXPECT_FALSE(requests[0].header("Content-Type"));
  EXPECT_FALSE(requests[0].header("Expect"));
  EXPECT_EQ(requests[0].header("User-Agent"), FeedbackAPIClient::userAgent());
}

TEST_F(ServiceClientTest, AnUploadAnswerMissingAKeyFailsWithTheDecoderError) {
  const std::string answer = R"({"localId":"l-1","name":"log.zip"})";
  server.setReply("POST", "/v1/attachments", Reply::json(answer));
  const auto outcome = await(client->postAttachment(Feedback(), "id", "zip", Bytes("x", 1)));
  ASSERT_TRUE(outcome.failure);
  EXPECT_EQ(*outcome.failure, AttachmentUploadResponse::fromJson(answer).error());
}

TEST_F(ServiceClientTest, AZeroByteUploadSendsAnEmptyBodyAndNeverReadsStandardInput) {
  // A standard input that never ends: reading it would hang the upload.
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  const int savedInput = dup(STDIN_FILENO);
  ASSERT_EQ(dup2(pipeEnds[0], STDIN_FILENO), STDIN_FILENO);

  server.setReply("POST", "/v1/attachments",
                  Reply::json(R"({"localId":"a","attachmentId":"b","name":"c"})"));
  const auto outcome = await(client->postAttachment(Feedback(), "empty", "txt", Bytes()));

  dup2(savedInput, STDIN_FILENO);
  close(savedInput);
  close(pipeEnds[0]);
  close(pipeEnds[1]);

  ASSERT_TRUE(outcome.completed);
  ASSERT_FALSE(outcome.failure) << outcome.failure->description();
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "");
  EXPECT_EQ(requests[0].header("Content-Length"), "0");
  EXPECT_FALSE(requests[0].header("Content-Type"));
}

TEST_F(ServiceClientTest, AFileAttachmentIsStreamedFromItsDescriptor) {
  tessaline::testing::TemporaryDirectory directory;
  std::string content(3 * 1024 * 1024 + 5, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) {
    content[i] = static_cast<char>(i % 251);
  }
  const auto path = directory.write("system.log", content);
  auto opened = platform::OpenFile::open(path.string());
  ASSERT_TRUE(opened);
  server.setReply("POST", "/v1/attachments",
                  Reply::json(R"({"localId":"a","attachmentId":"b","name":"c"})"));
  const auto outcome = await(client->postAttachment(
      Feedback(), "logs", "log", std::make_shared<platform::OpenFile>(std::move(opened).value())));
  ASSERT_FALSE(outcome.failure) << outcome.failure->description();
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body.size(), content.size());
  EXPECT_TRUE(requests[0].body == content);
}

TEST_F(ServiceClientTest, AReportIsCompactJsonInFieldOrder) {
  server.setReply("POST", "/v1/reports", Reply::json(R"({"id":"FB-1042","more":true})", 201));
  const Feedback feedback = fullFeedback();
  const auto outcome =
      await(client->postReport(feedback, {{"att-1", "SystemProfile.json"}, {"att-2", "b.zip"}}));
  ASSERT_FALSE(outcome.failure) << outcome.failure->description();
  EXPECT_EQ(outcome.value->id, "FB-1042");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine(), "POST /v1/reports");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  EXPECT_EQ(requests[0].body,
            R"({"localId":")" + feedback.localId.uuidString() +
                R"(","reasonId":4,"frequencyId":2,"subject":"Crash on \"save\"",)"
                R"("messages":[{"body":"It crashed.\nTwice."}],"name":"Ada",)"
                R"("email":"ada@example.com","attachments":[{"id":"att-1",)"
                R"("name":"SystemProfile.json"},{"id":"att-2","name":"b.zip"}]})");
}

TEST_F(ServiceClientTest, ABareReportSendsPlaceholdersAndEmptyArraysButNoNulls) {
  server.setReply("POST", "/v1/reports", Reply::json(R"({"id":"FB-1"})"));
  Feedback feedback;
  feedback.reason.id = 1;
  feedback.reproductionFrequency.id = -1;
  ASSERT_FALSE(await(client->postReport(feedback, {})).failure);
  feedback.subject = "";
  ASSERT_FALSE(await(client->postReport(feedback, {})).failure);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string prefix = R"({"localId":")" + feedback.localId.uuidString() +
                             R"(","reasonId":1,"frequencyId":-1,"subject":)";
  EXPECT_EQ(requests[0].body, prefix + R"json("(No Subject)","messages":[],"attachments":[]})json");
  EXPECT_EQ(requests[1].body, prefix + R"("","messages":[],"attachments":[]})");
}

TEST_F(ServiceClientTest, AReportThatCannotBeEncodedFailsAtOnceWithoutTraffic) {
  Feedback feedback;
  Feedback::Message message;
  message.body = std::string("broken \xC3\x28 text");  // not UTF-8
  feedback.messages = {message};
  Subscriber<FeedbackSubmissionResponse> subscriber(client->postReport(feedback, {}));
  const auto outcome = subscriber.now();  // already there: delivered inside subscribe
  ASSERT_TRUE(outcome.completed);
  ASSERT_TRUE(outcome.failure);
  EXPECT_EQ(outcome.thread, std::this_thread::get_id());
  EXPECT_EQ(outcome.failure->kind(), Error::Kind::api);
  EXPECT_EQ(outcome.failure->description(),
            R"(APIError(localizedDescription: "Failed to construct request"))");
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(ServiceClientTest, UpdateCheckSendsBuildAndTrainAndAnswersOnTheMainQueueLater) {
  Reply answer = Reply::json(R"({"beta":false,"latestBuild":120,"updateAvailable":true})", 404);
  server.setReply("GET", "/v1/updateCheck", answer);
  client->setReleaseTrainID("beta one+plus");
  const auto outcome = checkForUpdates(*client);
  ASSERT_TRUE(outcome.result);
  ASSERT_TRUE(*outcome.result) << outcome.result->error().description();
  EXPECT_EQ(outcome.result->value(), (UpdateCheckResponse{false, 120, true, std::nullopt}));
  EXPECT_FALSE(outcome.ranInsideCall);
  EXPECT_TRUE(outcome.ranOnMainQueue);

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine(),
            "GET /v1/updateCheck?buildNumber=310&train=beta%20one%2Bplus");
  EXPECT_EQ(requests[0].header("User-Agent"), FeedbackAPIClient::userAgent());
}

TEST_F(ServiceClientTest, TheTrainOfACheckIsTheOneSetWhenItStarted) {
  server.setReply("GET", "/v1/updateCheck",
                  Reply::json(R"({"beta":true,"latestBuild":1,)"
                              R"("updateAvailable":false,"message":"Hi"})"));
  std::optional<Result<UpdateCheckResponse>> first;
  std::optional<Result<UpdateCheckResponse>> second;
  client->setReleaseTrainID("one");
  client->checkForUpdates([&](Result<UpdateCheckResponse> result) { first = std::move(result); });
  client->setReleaseTrainID("two");
  client->checkForUpdates([&](Result<UpdateCheckResponse> result) { second = std::move(result); });
  ASSERT_TRUE(platform::MainQueue::drainUntil([&] { return first && second; }, 60s));
  EXPECT_EQ(first->value().message, "Hi");
  EXPECT_EQ(client->releaseTrainID(), "two");

  std::vector<std::string> trains;
  for (const auto& request : server.requests()) {
    trains.push_back(request.query.substr(request.query.find("&train=")));
  }
  std::sort(trains.begin(), trains.end());
  EXPECT_EQ(trains, (std::vector<std::string>{"&train=one", "&train=two"}));
}

TEST_F(ServiceClientTest, UnusableUpdateAnswersGiveTheFallbackAndOneErrorLine) {
  platform::LogCapture capture;
  const std::string decodeLine = "Failed to decode update check response: %{public}@";
  const std::string noDataLine = "No data returned from update check service";

  server.setReply("GET", "/v1/updateCheck",
                  Reply::json(R"({"beta":false,"updateAvailable":true,"message":null})"));
  auto outcome = checkForUpdates(*client);
  ASSERT_TRUE(outcome.result && *outcome.result);
  EXPECT_EQ(outcome.result->value(), UpdateCheckResponse::fallback());
  ASSERT_EQ(capture.count(decodeLine, "FeedbackAPIClient"), 1u);
  const auto record = capture.withFormat(decodeLine).front();
  EXPECT_EQ(record.level, platform::LogLevel::error);
  EXPECT_EQ(record.subsystem, "brisquet.Tessaline");
  EXPECT_EQ(record.message,
            "Failed to decode update check response: " +
                UpdateCheckResponse::fromJson(R"({"beta":false,"updateAvailable":true,)"
                                              R"("message":null})")
                    .error()
                    .description());

  capture.clear();
  server.setReply("GET", "/v1/updateCheck", Reply::json("", 200));
  outcome = checkForUpdates(*client);
  ASSERT_TRUE(outcome.result && *outcome.result);
  EXPECT_EQ(outcome.result->value(), UpdateCheckResponse::fallback());
  EXPECT_EQ(capture.count(decodeLine, "FeedbackAPIClient"), 1u);
  EXPECT_EQ(capture.count(noDataLine), 0u);

  capture.clear();
  server.setReply("GET", "/v1/updateCheck", Reply::json("", 204));
  outcome = checkForUpdates(*client);
  ASSERT_TRUE(outcome.result && *outcome.result);
  EXPECT_EQ(outcome.result->value(), UpdateCheckResponse::fallback());
  EXPECT_EQ(capture.count(noDataLine, "FeedbackAPIClient"), 1u);
  EXPECT_EQ(capture.withFormat(noDataLine).front().level, platform::LogLevel::error);
  EXPECT_EQ(capture.count(decodeLine), 0u);
}

TEST_F(ServiceClientTest, ANullMessageReadsAsNone) {
  server.setReply("GET", "/v1/updateCheck",
                  Reply::json(R"({"beta":true,"latestBuild":9,"updateAvailable":false,)"
                              R"("message":null})"));
  const auto outcome = checkForUpdates(*client);
  ASSERT_TRUE(outcome.result && *outcome.result);
  EXPECT_EQ(outcome.result->value(), (UpdateCheckResponse{true, 9, false, std::nullopt}));
}

TEST_F(ServiceClientTest, AnUpdateCheckWithoutAnAnswerReportsTheTransportErrorWithoutLogging) {
  platform::LogCapture capture;
  server.setReply("GET", "/v1/updateCheck", Reply::drop());
  const auto outcome = checkForUpdates(*client);
  ASSERT_TRUE(outcome.result);
  ASSERT_FALSE(*outcome.result);
  EXPECT_EQ(outcome.result->error().kind(), Error::Kind::transport);
  EXPECT_TRUE(outcome.ranOnMainQueue);
  for (const auto& record : capture.records()) {
    EXPECT_NE(record.category, "FeedbackAPIClient") << record.message;
  }
}

TEST_F(ServiceClientTest, AnUnknownBuildIsSentAsMinusOne) {
  platform::MainBundle::setInfoDictionary({{"CFBundleShortVersionString", std::string("2.4.1")}});
  server.setReply("GET", "/v1/updateCheck", Reply::json("{}"));
  ASSERT_TRUE(checkForUpdates(*client).result);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].query, "buildNumber=-1&train=stable");
  EXPECT_NE(detail::buildUserAgent().find("Pairloom 2.4.1 (-1) - "), std::string::npos);
}

TEST_F(ServiceClientTest, TwoClientsShareOneSessionAndOneUserAgent) {
  FeedbackAPIClient other("beta", Environment::current());
  EXPECT_EQ(&client->session(), &other.session());
  EXPECT_EQ(&client->session(), &FeedbackAPIClient::defaultSession());
  EXPECT_EQ(client->session().additionalHeaders(),
            (platform::HttpHeaders{{"User-Agent", FeedbackAPIClient::userAgent()}}));
  EXPECT_EQ(&FeedbackAPIClient::userAgent(), &FeedbackAPIClient::userAgent());

  server.setReply("GET", "/v1/config", Reply::json(kConfigJson));
  ASSERT_FALSE(await(client->fetchConfig()).failure);
  ASSERT_FALSE(await(other.fetchConfig()).failure);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].header("User-Agent"), requests[1].header("User-Agent"));
}

TEST_F(ServiceClientTest, TheUserAgentNamesAppSystemAndModelUnlessTheModelIsDisabled) {
  const std::string expected = platform::removingControlCharacters(
      "Pairloom 2.4.1 (310) - " + platform::SystemInfo::operatingSystemVersionString());
  const std::string model = platform::removingControlCharacters(hardwareModelIdentifier());

  platform::UserDefaults::standard().setBool("TSDisableDeviceModelInUserAgent", false);
  EXPECT_EQ(detail::buildUserAgent(), expected + " - " + model);
  platform::UserDefaults::standard().setBool("TSDisableDeviceModelInUserAgent", true);
  EXPECT_EQ(detail::buildUserAgent(), expected);
  platform::UserDefaults::standard().removeObject("TSDisableDeviceModelInUserAgent");

  for (const char c : detail::buildUserAgent()) {
    EXPECT_GE(static_cast<unsigned char>(c), 0x20);
    EXPECT_NE(c, '\x7f');
  }
}

TEST_F(ServiceClientTest, TheUserAgentIsBuiltOnceAndKeepsTheSettingOfThatMoment) {
  // The fixture's client created the session, and with it the User-Agent, showing the model.
  const std::string built = FeedbackAPIClient::userAgent();
  EXPECT_EQ(built, detail::buildUserAgent());
  platform::UserDefaults::standard().setBool("TSDisableDeviceModelInUserAgent", true);
  EXPECT_EQ(FeedbackAPIClient::userAgent(), built);
  server.setReply("GET", "/v1/config", Reply::json(kConfigJson));
  ASSERT_FALSE(await(FeedbackAPIClient("other", Environment::current()).fetchConfig()).failure);
  EXPECT_EQ(server.requests().at(0).header("User-Agent"), built);
  platform::UserDefaults::standard().removeObject("TSDisableDeviceModelInUserAgent");
}

TEST(APIErrorTest, TextFormIsTheTypeNameWithTheQuotedMessage) {
  const APIError error(APIError::kFailedToConstructURL);
  EXPECT_EQ(error.description(), R"(APIError(localizedDescription: "Failed to construct URL"))");
  EXPECT_EQ(error.error(), Error(Error::Kind::api, error.description()));
  EXPECT_EQ(APIError("say \"hi\"").description(),
            R"(APIError(localizedDescription: "say \"hi\""))");
}

TEST(ServiceAddressTest, AcceptsHttpsAnywhereAndHttpOnlyOnThisMachine) {
  EXPECT_TRUE(detail::parseServiceURL("https://feedback.example/v1"));
  EXPECT_TRUE(detail::parseServiceURL("http://127.0.0.1:8080/v1"));
  EXPECT_TRUE(detail::parseServiceURL("http://localhost:8080/v1"));
  EXPECT_TRUE(detail::parseServiceURL("http://[::1]:8080/v1"));
  for (const char* bad :
       {"http://feedback.example/v1", "http://127.0.0.1.example/v1", "ftp://127.0.0.1/v1",
        "not a url", "https:///v1", "https://feedback.example/v1?x=1",
        "https://user@feedback.example/v1", "https://feedback.example/v1#top", ""}) {
    EXPECT_FALSE(detail::parseServiceURL(bad)) << bad;
  }
}

TEST(ServiceRecordsTest, UpdateCheckAnswersEncodeInFieldOrderWithoutAbsentMessage) {
  EXPECT_EQ(UpdateCheckResponse::fallback().toJson().value(),
            R"({"beta":false,"latestBuild":0,"updateAvailable":false})");
  const UpdateCheckResponse withMessage{true, 5, true, "New"};
  EXPECT_EQ(withMessage.toJson().value(),
            R"({"beta":true,"latestBuild":5,"updateAvailable":true,"message":"New"})");
  EXPECT_EQ(UpdateCheckResponse::fromJson(withMessage.toJson().value()).value(), withMessage);
  EXPECT_EQ(std::hash<UpdateCheckResponse>{}(withMessage),
            std::hash<UpdateCheckResponse>{}(UpdateCheckResponse{true, 5, true, "New"}));
  EXPECT_FALSE(UpdateCheckResponse::fromJson(R"({"beta":"no","latestBuild":1,)"
                                             R"("updateAvailable":true})"));
}

TEST(ServiceRecordsTest, ReportRequestsRoundTripAndLeaveOutRemoteIdAndDates) {
  const auto request = FeedbackReportRequest::make(fullFeedback(), {{"a", "b"}});
  const std::string json = request.toJson().value();
  EXPECT_EQ(json.find("remoteId"), std::string::npos);
  EXPECT_EQ(json.find("creationDate"), std::string::npos);
  EXPECT_EQ(json.find("date"), std::string::npos);
  EXPECT_EQ(FeedbackReportRequest::fromJson(json).value(), request);
  EXPECT_EQ(std::hash<FeedbackReportRequest>{}(request),
            std::hash<FeedbackReportRequest>{}(FeedbackReportRequest::fromJson(json).value()));
  EXPECT_EQ(FeedbackSubmissionResponse::fromJson(R"({"id":"x"})").value().toJson().value(),
            R"({"id":"x"})");
  EXPECT_EQ(AttachmentUploadResponse({"l", "a", "n"}).toJson().value(),
            R"({"localId":"l","attachmentId":"a","name":"n"})");
}

}  // namespace
