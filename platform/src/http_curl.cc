#include <curl/curl.h>

#include <mutex>

#include "vexmor/platform/http.h"

namespace vexmor::platform {
namespace {

bool GlobalInit() {
  static const bool ok = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ok;
}

// One easy handle per thread: its connection cache lets consecutive requests share a
// connection.
struct ThreadSession {
  CURL* handle = nullptr;
  ~ThreadSession() {
    if (handle != nullptr) curl_easy_cleanup(handle);
  }
  CURL* Get() {
    if (handle == nullptr && GlobalInit()) handle = curl_easy_init();
    return handle;
  }
};

ThreadSession& Session() {
  thread_local ThreadSession session;
  return session;
}

struct BodySink {
  std::string* body;
  size_t limit;
};

size_t KeepFirstBytes(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<BodySink*>(user);
  size_t bytes = size * count;
  size_t room = sink->limit - sink->body->size();
  if (bytes >= room) {
    sink->body->append(data, room);
    return bytes == room ? bytes : 0;  // enough read: a short count ends the transfer
  }
  sink->body->append(data, bytes);
  return bytes;
}

class CurlHttp final : public Http {
 public:
  explicit CurlHttp(HttpOptions options) : options_(options) {}

  Status Prepare() override {
    if (Session().Get() == nullptr) return Status::Unavailable("no HTTP session");
    return Status::Ok();
  }

  StatusOr<std::string> Canonicalize(std::string_view url) const override {
    if (!GlobalInit()) return Status::Unavailable("no HTTP library");
    CURLU* parsed = curl_url();
    if (parsed == nullptr) return Status::Internal("out of memory");
    std::string text(url);
    StatusOr<std::string> result = Status::InvalidArgument("malformed URL: " + text);
    char* scheme = nullptr;
    char* canonical = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, text.c_str(), CURLU_URLENCODE) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        std::string_view(scheme) == "http" &&
        curl_url_get(parsed, CURLUPART_URL, &canonical, 0) == CURLUE_OK) {
      result = std::string(canonical);
    }
    curl_free(scheme);
    curl_free(canonical);
    curl_url_cleanup(parsed);
    return result;
  }

  StatusOr<HttpResponse> Get(const std::string& url, size_t max_body) override {
    if (url.size() < 7 || !curl_strnequal(url.c_str(), "http://", 7)) {
      return Status::InvalidArgument("not an http URL: " + url);
    }
    CURL* curl = Session().Get();
    if (curl == nullptr) return Status::Unavailable("no HTTP session");
    curl_easy_reset(curl);
    HttpResponse response;
    BodySink sink{&response.body, max_body};
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options_.connect_timeout.count()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.total_timeout.count()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &KeepFirstBytes);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    bool stopped_early = code == CURLE_WRITE_ERROR && response.body.size() == max_body;
    if (code == CURLE_URL_MALFORMAT) {
      return Status::InvalidArgument(std::string(curl_easy_strerror(code)) + ": " + url);
    }
    if ((code != CURLE_OK && !stopped_early) || status == 0) {
      return Status::Unavailable(std::string(curl_easy_strerror(code)) + ": " + url);
    }
    response.status = status;
    return response;
  }

 private:
  HttpOptions options_;
};

std::unique_ptr<Http>& Slot() {
  // Never destroyed: threads of the libraries (a dialog's poller, background work) may still
  // use it while the process ends.
  static auto* http = new std::unique_ptr<Http>(MakeCurlHttp());
  return *http;
}

}  // namespace

std::unique_ptr<Http> MakeCurlHttp(HttpOptions options) {
  return std::make_unique<CurlHttp>(options);
}

Http& DefaultHttp() {
  return *Slot();
}

void SetDefaultHttp(std::unique_ptr<Http> http) {
  Slot() = http ? std::move(http) : MakeCurlHttp();
}

}  // namespace vexmor::platform
