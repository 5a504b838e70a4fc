#include <platform/HttpSession.h>
#include <platform/Logger.h>
#include <platform/OpenFile.h>
#include <platform/SystemInfo.h>
#include <platform/detail/HttpTesting.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <curl/curl.h>
#include <pthread.h>
#include <signal.h>

namespace tessaline::platform {

namespace {

std::atomic<long long> timeoutOverrideSeconds{0};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

bool hasHeader(const HttpHeaders& headers, std::string_view name) {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& field) { return equalsIgnoringCase(field.first, name); });
}

bool isLoopbackAddress(std::string_view address) {
  return address.starts_with("127.") || address == "::1" || address.starts_with("::ffff:127.");
}

Error transportError(std::string text) {
  return Error(Error::Kind::transport, std::move(text));
}

// Header text never carries control characters (they would split or corrupt the request).
HttpHeaders sanitised(HttpHeaders headers) {
  HttpHeaders out;
  for (auto& [name, value] : headers) {
    std::string cleanName = removingControlCharacters(std::move(name));
    if (cleanName.empty() || cleanName.find(':') != std::string::npos) {
      continue;
    }
    out.emplace_back(std::move(cleanName), removingControlCharacters(std::move(value)));
  }
  return out;
}

}  // namespace

namespace detail {

void setRequestTimeoutOverride(std::optional<std::chrono::seconds> timeout) {
  timeoutOverrideSeconds.store(timeout ? std::max<long long>(1, timeout->count()) : 0);
}

// One transfer, shared by its task handle and the worker.
struct HttpTransfer {
  HttpTransfer(HttpRequest request, HttpSession::Completion completion)
      : request(std::move(request)), completion(std::move(completion)) {}

  HttpRequest request;
  std::weak_ptr<HttpWorker> worker;
  std::optional<Error> refusal;  // set when the request is refused before any traffic

  // Delivery and cancellation meet under this lock, so no completion starts after cancel().
  std::recursive_mutex deliveryMutex;
  HttpSession::Completion completion;
  bool cancelled = false;
  bool finished = false;

  // Worker only.
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  std::optional<Error> failure;  // why a callback aborted the transfer
  std::string body;
  bool sawBody = false;
  bool answerStarted = false;  // a byte of an answer (headers or body) arrived
  bool repeated = false;       // sent again on a fresh connection
  HttpHeaders responseHeaders;
  std::uint64_t uploadOffset = 0;
  // Idle time-out bookkeeping: the byte counts last seen and when they last moved.
  std::chrono::seconds idleTimeout{HttpRequest::kDefaultTimeout};
  curl_off_t lastDownloaded = 0;
  curl_off_t lastUploaded = 0;
  std::chrono::steady_clock::time_point lastActivity = std::chrono::steady_clock::now();

  // Forgets what an attempt received and sent, before the request goes out once more.
  void resetAttempt() {
    errorBuffer[0] = '\0';
    body.clear();
    sawBody = false;
    answerStarted = false;
    responseHeaders.clear();
    uploadOffset = 0;
    lastDownloaded = 0;
    lastUploaded = 0;
    lastActivity = std::chrono::steady_clock::now();
  }

  void releaseHandles() {
    if (easy != nullptr) {
      curl_easy_cleanup(easy);
      easy = nullptr;
    }
    if (headerList != nullptr) {
      curl_slist_free_all(headerList);
      headerList = nullptr;
    }
  }

  // Runs the completion unless the transfer was cancelled, then lets go of it.
  void deliver(Result<HttpResponse> outcome) {
    HttpSession::Completion released;
    {
      std::lock_guard lock(deliveryMutex);
      if (!cancelled && !finished) {
        finished = true;
        try {
          if (completion) {
            completion(std::move(outcome));
          }
        } catch (...) {
        }
      }
      released = std::move(completion);
    }
    request.body = std::monostate{};
  }

  void abandon() {
    HttpSession::Completion released;
    {
      std::lock_guard lock(deliveryMutex);
      released = std::move(completion);
    }
    request.body = std::monostate{};
  }

  bool isCancelled() {
    std::lock_guard lock(deliveryMutex);
    return cancelled;
  }
};

// The worker thread's state: the multi handle with its connection cache and the commands posted
// from other threads.
struct HttpWorker {
  HttpWorker() : multi(curl_multi_init()) {}

  ~HttpWorker() {
    for (auto& [easy, transfer] : running) {
      curl_multi_remove_handle(multi, easy);
      transfer->releaseHandles();
      transfer->abandon();
    }
    curl_multi_cleanup(multi);
  }

  void post(std::shared_ptr<HttpTransfer> transfer, bool cancel) {
    {
      std::lock_guard lock(mutex);
      (cancel ? cancelling : starting).push_back(std::move(transfer));
    }
    curl_multi_wakeup(multi);
  }

  // Asks the loop to end. At exit the worker then parks for good instead of ending, so the thread
  // is neither left finished-but-unjoined nor joined while a completion might block; the wait for
  // it is bounded and skipped on the worker itself.
  void stop(bool park, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex);
    stopping = true;
    parking = parking || park;
    curl_multi_wakeup(multi);
    if (std::this_thread::get_id() != threadId) {
      exitedChanged.wait_for(lock, wait, [&] { return exited; });
    }
  }

  bool isParking() {
    std::lock_guard lock(mutex);
    return parking;
  }

  void run();
  void begin(const std::shared_ptr<HttpTransfer>& transfer);
  std::optional<Error> configure(HttpTransfer& transfer);
  void finish(CURL* easy, CURLcode code);
  bool repeatOnFreshConnection(const std::shared_ptr<HttpTransfer>& transfer);

  CURLM* multi;
  Logger log{std::string(kLogSubsystem), "HttpSession"};
  std::string caFile;
  std::string caPath;
  HttpHeaders sessionHeaders;

  std::mutex mutex;
  std::condition_variable exitedChanged;
  std::vector<std::shared_ptr<HttpTransfer>> starting;
  std::vector<std::shared_ptr<HttpTransfer>> cancelling;
  bool stopping = false;
  bool parking = false;
  bool exited = false;
  std::thread::id threadId;

  std::map<CURL*, std::shared_ptr<HttpTransfer>> running;  // worker only
};

}  // namespace detail

namespace {

using detail::HttpTransfer;
using detail::HttpWorker;

// Workers still alive, so that they are stopped before the process's exit handlers (OpenSSL's
// among them) tear down what a transfer in flight would use.
struct WorkerRegistry {
  std::mutex mutex;
  std::vector<std::weak_ptr<HttpWorker>> workers;
};

WorkerRegistry& registry() {
  static auto* instance = new WorkerRegistry();  // never destroyed: used at exit
  return *instance;
}

void stopWorkersAtExit() {
  std::vector<std::shared_ptr<HttpWorker>> workers;
  {
    std::lock_guard lock(registry().mutex);
    for (const auto& weak : registry().workers) {
      if (auto worker = weak.lock()) {
        workers.push_back(std::move(worker));
      }
    }
  }
  for (const auto& worker : workers) {
    worker->stop(true, std::chrono::seconds(2));
  }
}

void initialiseCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    // Registered after libcurl (and OpenSSL) set up their own exit handlers, so it runs first.
    std::atexit(stopWorkersAtExit);
  });
}

size_t onResponseBody(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<HttpTransfer*>(context);
  const size_t length = size * count;
  transfer->sawBody = true;
  transfer->answerStarted = true;
  if (transfer->body.size() + length > HttpSession::kMaxResponseBodySize) {
    transfer->failure = transportError("The response body is larger than the limit of 64 MiB");
    return 0;  // less than offered: libcurl ends the transfer
  }
  transfer->body.append(data, length);
  return length;
}

size_t onResponseHeader(char* data, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<HttpTransfer*>(context);
  const size_t length = size * count;
  transfer->answerStarted = true;
  std::string_view line(data, length);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
    line.remove_suffix(1);
  }
  if (line.starts_with("HTTP/")) {
    transfer->responseHeaders.clear();  // a new answer: after a redirect or an interim 1xx
    return length;
  }
  const auto colon = line.find(':');
  if (colon == std::string_view::npos) {
    return length;
  }
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
    value.remove_prefix(1);
  }
  transfer->responseHeaders.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  return length;
}

// Streams a file body. Never reads standard input, which is libcurl's default source.
size_t onUploadBody(char* buffer, size_t size, size_t count, void* context) {
  auto* transfer = static_cast<HttpTransfer*>(context);
  const auto* file = std::get_if<std::shared_ptr<OpenFile>>(&transfer->request.body);
  if (file == nullptr || !*file) {
    return 0;
  }
  const std::uint64_t total = (*file)->size();
  if (transfer->uploadOffset >= total) {
    return 0;
  }
  const size_t wanted =
      static_cast<size_t>(std::min<std::uint64_t>(size * count, total - transfer->uploadOffset));
  auto read = (*file)->readAt(buffer, wanted, transfer->uploadOffset);
  if (!read) {
    transfer->failure = read.error();
    return CURL_READFUNC_ABORT;
  }
  if (read.value() == 0) {
    transfer->failure = Error(Error::Kind::fileSystem, "The file \"" + (*file)->path() +
                                                           "\" became shorter while it was sent");
    return CURL_READFUNC_ABORT;
  }
  transfer->uploadOffset += read.value();
  return read.value();
}

int onUploadSeek(void* context, curl_off_t offset, int origin) {
  auto* transfer = static_cast<HttpTransfer*>(context);
  const auto* file = std::get_if<std::shared_ptr<OpenFile>>(&transfer->request.body);
  if (origin != SEEK_SET || offset < 0 || file == nullptr || !*file ||
      static_cast<std::uint64_t>(offset) > (*file)->size()) {
    return CURL_SEEKFUNC_CANTSEEK;
  }
  transfer->uploadOffset = static_cast<std::uint64_t>(offset);
  return CURL_SEEKFUNC_OK;
}

// Fails a transfer that has moved no byte for its idle time-out. libcurl's own low-speed check
// averages over its last five seconds, so a stall right after data would fail seconds late. Also
// reports the request body's progress to whoever asked for it.
int onProgress(void* context, curl_off_t, curl_off_t downloaded, curl_off_t uploadTotal,
               curl_off_t uploaded) {
  auto* transfer = static_cast<HttpTransfer*>(context);
  const auto now = std::chrono::steady_clock::now();
  if (downloaded != transfer->lastDownloaded || uploaded != transfer->lastUploaded) {
    if (uploaded != transfer->lastUploaded && uploaded > 0 && transfer->request.uploadProgress) {
      try {
        transfer->request.uploadProgress(
            static_cast<std::uint64_t>(uploaded),
            static_cast<std::uint64_t>(std::max(uploadTotal, uploaded)));
      } catch (...) {
      }
    }
    transfer->lastDownloaded = downloaded;
    transfer->lastUploaded = uploaded;
    transfer->lastActivity = now;
    return 0;
  }
  if (now - transfer->lastActivity < transfer->idleTimeout) {
    return 0;
  }
  transfer->failure = transportError("Timeout was reached: nothing was sent or received for " +
                                     std::to_string(transfer->idleTimeout.count()) + " s");
  return 1;
}

// Plain http must reach this machine, also after a redirect or through a proxy.
int onConnected(void* context, char* primaryAddress, char*, int, int) {
  auto* transfer = static_cast<HttpTransfer*>(context);
  if (primaryAddress == nullptr || !isLoopbackAddress(primaryAddress)) {
    transfer->failure = transportError(
        "Plain http is allowed only to this machine; the connection went to " +
        std::string(primaryAddress != nullptr ? primaryAddress : "an unknown address"));
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

// GET and HEAD change nothing on the server, so sending one twice is harmless.
bool isSafeToRepeat(const HttpRequest& request) {
  return request.method == "GET" || request.method == "HEAD";
}

// A server closes a kept-alive connection that stays idle past its time-out, and a request sent
// on it as it closes is lost before a byte of the answer arrives. libcurl sends such a request
// again by itself, but on the next cached connection, which the server may have closed as well;
// after a few such tries it gives up. A safe request that met only reused connections and
// received nothing therefore goes once more on a connection of its own. Nothing else is repeated:
// the server may have acted on any other request (it may have read the whole body and closed
// without answering), so those go on a connection of their own from the start, where libcurl
// does not send them again either.
bool failedOnlyOnReusedConnections(CURL* easy, const HttpTransfer& transfer, CURLcode code) {
  if (!isSafeToRepeat(transfer.request) || transfer.repeated || transfer.failure ||
      transfer.answerStarted) {
    return false;
  }
  if (code != CURLE_SEND_ERROR && code != CURLE_RECV_ERROR && code != CURLE_GOT_NOTHING) {
    return false;
  }
  long newConnections = -1;
  return curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &newConnections) == CURLE_OK &&
         newConnections == 0;
}

std::optional<Error> refusalOf(const HttpRequest& request) {
  const std::string scheme = request.url.scheme();
  if (scheme == "http") {
    if (!isLoopbackHost(request.url.host())) {
      return transportError("Plain http is allowed only to this machine, not to \"" +
                            request.url.host() + "\"; use https");
    }
  } else if (scheme != "https") {
    return transportError("The URL scheme \"" + scheme + "\" is not supported");
  }
  if (const auto* file = std::get_if<std::shared_ptr<OpenFile>>(&request.body);
      file != nullptr && !*file) {
    return Error(Error::Kind::fileSystem, "The request names a file body without a file");
  }
  return std::nullopt;
}

}  // namespace

namespace detail {

void HttpWorker::run() {
  // A peer that closes its end must give an error, not a signal that ends the host.
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  pthread_setname_np(pthread_self(), "tessaline-http");

  for (;;) {
    std::vector<std::shared_ptr<HttpTransfer>> toStart;
    std::vector<std::shared_ptr<HttpTransfer>> toCancel;
    {
      std::lock_guard lock(mutex);
      if (stopping) {
        break;
      }
      toStart.swap(starting);
      toCancel.swap(cancelling);
    }
    for (const auto& transfer : toStart) {
      begin(transfer);
    }
    for (const auto& transfer : toCancel) {
      if (transfer->easy != nullptr && running.erase(transfer->easy) > 0) {
        curl_multi_remove_handle(multi, transfer->easy);
        transfer->releaseHandles();
      }
      transfer->abandon();
    }

    int active = 0;
    curl_multi_perform(multi, &active);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
      if (message->msg == CURLMSG_DONE) {
        finish(message->easy_handle, message->data.result);
      }
    }

    long timeout = -1;
    curl_multi_timeout(multi, &timeout);
    if (timeout < 0 || timeout > 1000) {
      timeout = 1000;
    }
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(timeout), nullptr);
  }

  std::unique_lock lock(mutex);
  exited = true;
  exitedChanged.notify_all();
  while (parking) {
    exitedChanged.wait(lock);
  }
}

void HttpWorker::begin(const std::shared_ptr<HttpTransfer>& transfer) {
  if (transfer->isCancelled()) {
    transfer->abandon();
    return;
  }
  if (transfer->refusal) {
    transfer->deliver(*transfer->refusal);
    return;
  }
  transfer->easy = curl_easy_init();
  if (transfer->easy == nullptr) {
    transfer->deliver(transportError("The HTTP transfer cannot be created"));
    return;
  }
  if (auto error = configure(*transfer)) {
    transfer->releaseHandles();
    transfer->deliver(*error);
    return;
  }
  if (curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
    transfer->releaseHandles();
    transfer->deliver(transportError("The HTTP transfer cannot be started"));
    return;
  }
  running.emplace(transfer->easy, transfer);
}

std::optional<Error> HttpWorker::configure(HttpTransfer& transfer) {
  CURL* easy = transfer.easy;
  const HttpRequest& request = transfer.request;
  const std::string scheme = request.url.scheme();
  long long timeout = timeoutOverrideSeconds.load();
  if (timeout == 0) {
    timeout = std::max<long long>(1, request.timeout.count());
  }

  bool ok = true;
  auto set = [&](CURLoption option, auto value) {
    ok = ok && curl_easy_setopt(easy, option, value) == CURLE_OK;
  };
  set(CURLOPT_URL, request.url.absoluteString().c_str());
  set(CURLOPT_PRIVATE, static_cast<void*>(&transfer));
  set(CURLOPT_ERRORBUFFER, transfer.errorBuffer);
  set(CURLOPT_NOSIGNAL, 1L);
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, scheme.c_str());
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, 5L);
  set(CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  set(CURLOPT_ACCEPT_ENCODING, "");
  set(CURLOPT_TCP_KEEPALIVE, 1L);
  // libcurl counts whole seconds and drops a connection whose idle time exceeds this number.
  set(CURLOPT_MAXAGE_CONN, static_cast<long>(HttpSession::kMaxConnectionIdleTime.count() - 1));
  set(CURLOPT_SSL_VERIFYPEER, 1L);
  set(CURLOPT_SSL_VERIFYHOST, 2L);
  if (!caFile.empty()) {
    set(CURLOPT_CAINFO, caFile.c_str());
  }
  if (!caPath.empty()) {
    set(CURLOPT_CAPATH, caPath.c_str());
  }
  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout * 1000));
  // The worker wakes at least once a second, so the progress callback sees every idle second.
  transfer.idleTimeout = std::chrono::seconds(timeout);
  transfer.lastActivity = std::chrono::steady_clock::now();
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, onProgress);
  set(CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
  set(CURLOPT_TIMEOUT, 0L);
  set(CURLOPT_WRITEFUNCTION, onResponseBody);
  set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
  set(CURLOPT_HEADERFUNCTION, onResponseHeader);
  set(CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
  set(CURLOPT_READFUNCTION, onUploadBody);
  set(CURLOPT_READDATA, static_cast<void*>(&transfer));
  if (isLoopbackHost(request.url.host())) {
    set(CURLOPT_NOPROXY, "*");  // a proxy cannot reach this machine's loopback
  }
  if (scheme == "http") {
    set(CURLOPT_PREREQFUNCTION, onConnected);
    set(CURLOPT_PREREQDATA, static_cast<void*>(&transfer));
  }

  const bool post = request.method == "POST";
  if (const auto* bytes = std::get_if<Bytes>(&request.body)) {
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bytes->size()));
    set(CURLOPT_POSTFIELDS, bytes->data());
  } else if (const auto* file = std::get_if<std::shared_ptr<OpenFile>>(&request.body)) {
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>((*file)->size()));
    set(CURLOPT_SEEKFUNCTION, onUploadSeek);
    set(CURLOPT_SEEKDATA, static_cast<void*>(&transfer));
    set(CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
  } else if (post) {
    // An explicit empty body: without a size libcurl would read standard input.
    set(CURLOPT_POST, 1L);
    set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(0));
    set(CURLOPT_POSTFIELDS, "");
  } else if (request.method == "GET") {
    set(CURLOPT_HTTPGET, 1L);
  } else if (request.method == "HEAD") {
    set(CURLOPT_NOBODY, 1L);
  }
  if (!post && request.method != "GET" && request.method != "HEAD") {
    set(CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (!isSafeToRepeat(request)) {
    set(CURLOPT_FRESH_CONNECT, 1L);  // see failedOnlyOnReusedConnections
  }

  const HttpHeaders requestHeaders = sanitised(request.headers);
  HttpHeaders fields;
  for (const auto& field : sessionHeaders) {
    if (!hasHeader(requestHeaders, field.first)) {
      fields.push_back(field);
    }
  }
  fields.insert(fields.end(), requestHeaders.begin(), requestHeaders.end());
  if (!hasHeader(fields, "Expect")) {
    fields.emplace_back("Expect", "");  // removes libcurl's own
  }
  if (!std::holds_alternative<std::monostate>(request.body) || post) {
    if (!hasHeader(fields, "Content-Type")) {
      fields.emplace_back("Content-Type", "");  // no form-encoding type on raw bytes
    }
  }
  for (const auto& [name, value] : fields) {
    // "Name:" removes a field of libcurl's own, "Name;" sends an empty one.
    const bool removal = value.empty() && (equalsIgnoringCase(name, "Expect") ||
                                           equalsIgnoringCase(name, "Content-Type"));
    const std::string line = value.empty() ? name + (removal ? ":" : ";") : name + ": " + value;
    curl_slist* extended = curl_slist_append(transfer.headerList, line.c_str());
    if (extended == nullptr) {
      return transportError("The HTTP request cannot be built: out of memory");
    }
    transfer.headerList = extended;
  }
  set(CURLOPT_HTTPHEADER, transfer.headerList);

  if (!ok) {
    return transportError("The HTTP request cannot be built for " + request.url.absoluteString());
  }
  return std::nullopt;
}

void HttpWorker::finish(CURL* easy, CURLcode code) {
  const auto found = running.find(easy);
  if (found == running.end()) {
    curl_multi_remove_handle(multi, easy);
    return;
  }
  const std::shared_ptr<HttpTransfer> transfer = found->second;
  running.erase(found);
  curl_multi_remove_handle(multi, easy);

  if (code == CURLE_OK) {
    HttpResponse response;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
    response.headers = std::move(transfer->responseHeaders);
    // By HTTP's framing these answers never carry a body, whatever their headers say.
    const bool bodiless = transfer->request.method == "HEAD" || response.status == 204 ||
                          response.status == 304 ||
                          (response.status >= 100 && response.status < 200);
    response.hasBody = transfer->sawBody || !bodiless;
    response.body = Bytes(std::move(transfer->body));
    transfer->releaseHandles();
    transfer->deliver(std::move(response));
    return;
  }
  Error error = transfer->failure.value_or(transportError(
      std::string(curl_easy_strerror(code)) +
      (transfer->errorBuffer[0] != '\0' ? std::string(": ") + transfer->errorBuffer : "")));
  if (failedOnlyOnReusedConnections(easy, *transfer, code) && !transfer->isCancelled()) {
    log.debug(
        "%{public}@ %@ failed on a reused connection before any answer (%{public}@); sending "
        "it again on a new connection",
        transfer->request.method, transfer->request.url.absoluteString(), error.description());
    if (repeatOnFreshConnection(transfer)) {
      return;
    }
  }
  transfer->releaseHandles();
  transfer->deliver(std::move(error));
}

bool HttpWorker::repeatOnFreshConnection(const std::shared_ptr<HttpTransfer>& transfer) {
  transfer->repeated = true;
  transfer->resetAttempt();
  if (curl_easy_setopt(transfer->easy, CURLOPT_FRESH_CONNECT, 1L) != CURLE_OK ||
      curl_multi_add_handle(multi, transfer->easy) != CURLM_OK) {
    return false;
  }
  running.emplace(transfer->easy, transfer);
  return true;
}

}  // namespace detail

bool isLoopbackHost(std::string_view host) {
  if (host == "localhost" || host == "::1") {
    return true;
  }
  if (!host.starts_with("127.")) {
    return false;
  }
  int dots = 0;
  for (const char c : host) {
    if (c == '.') {
      ++dots;
    } else if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
      return false;
    }
  }
  return dots == 3;
}

void HttpTask::cancel() const {
  if (!transfer_) {
    return;
  }
  {
    std::lock_guard lock(transfer_->deliveryMutex);
    if (transfer_->cancelled || transfer_->finished) {
      return;
    }
    transfer_->cancelled = true;
  }
  if (auto worker = transfer_->worker.lock()) {
    worker->post(transfer_, true);
  }
}

HttpSession::HttpSession(HttpHeaders additionalHeaders)
    : additionalHeaders_(sanitised(std::move(additionalHeaders))) {
  initialiseCurlOnce();
  worker_ = std::make_shared<HttpWorker>();
  worker_->sessionHeaders = additionalHeaders_;
  if (const char* file = std::getenv("SSL_CERT_FILE")) {
    worker_->caFile = file;
  }
  if (const char* directory = std::getenv("SSL_CERT_DIR")) {
    worker_->caPath = directory;
  }
  {
    std::lock_guard lock(registry().mutex);
    auto& workers = registry().workers;
    workers.erase(std::remove_if(workers.begin(), workers.end(),
                                 [](const auto& weak) { return weak.expired(); }),
                  workers.end());
    workers.push_back(worker_);
  }
  std::lock_guard lock(worker_->mutex);
  thread_ = std::thread([worker = worker_] { worker->run(); });
  worker_->threadId = thread_.get_id();
}

HttpSession::~HttpSession() {
  worker_->stop(false, std::chrono::milliseconds(0));
  if (thread_.get_id() == std::this_thread::get_id() || worker_->isParking()) {
    // Destroyed by one of its own completions (the loop ends after it), or while the process
    // exits (the worker is parked until the end).
    thread_.detach();
  } else {
    thread_.join();
  }
}

HttpTask HttpSession::start(HttpRequest request, Completion completion) {
  auto transfer = std::make_shared<HttpTransfer>(std::move(request), std::move(completion));
  transfer->worker = worker_;
  transfer->refusal = refusalOf(transfer->request);
  worker_->post(transfer, false);
  return HttpTask(transfer);
}

}  // namespace tessaline::platform
