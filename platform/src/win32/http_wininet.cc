// The HTTP port on WinINet: a direct GET (never through a proxy or the cache, no redirects,
// cookies or dialogs), the status code and the first bytes of the body. WinINet has no time
// limit for a whole request: the connect limit bounds the connection, the total limit bounds
// each send and receive.
#include <windows.h>
#include <wininet.h>

#include <mutex>

#include "vexmor/platform/win32_adapters.h"

namespace vexmor::platform {
namespace {

// An Internet handle closed when it goes.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle = nullptr) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_ != nullptr) ::InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return handle_; }
  void reset(HINTERNET handle) {
    if (handle_ != nullptr) ::InternetCloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HINTERNET handle_;
};

bool IsHttpUrl(std::string_view url) {
  if (url.size() < 7) return false;
  std::string scheme(url.substr(0, 7));
  for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return scheme == "http://";
}

class WinInetHttp final : public Http {
 public:
  explicit WinInetHttp(HttpOptions options) : options_(options) {}

  Status Prepare() override {
    return Session() != nullptr ? Status::Ok() : Status::Unavailable("no HTTP session");
  }

  StatusOr<std::string> Canonicalize(std::string_view url) const override {
    const std::string text(url);
    std::string canonical(text.size() * 3 + 16, '\0');
    DWORD size = static_cast<DWORD>(canonical.size());
    if (!::InternetCanonicalizeUrlA(text.c_str(), canonical.data(), &size, 0)) {
      return Status::InvalidArgument("malformed URL: " + text);
    }
    canonical.resize(size);
    URL_COMPONENTSA parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = 1;
    if (!::InternetCrackUrlA(canonical.c_str(), 0, 0, &parts) ||
        parts.nScheme != INTERNET_SCHEME_HTTP || parts.dwHostNameLength == 0) {
      return Status::InvalidArgument("malformed URL: " + text);
    }
    return canonical;
  }

  StatusOr<HttpResponse> Get(const std::string& url, size_t max_body) override {
    if (!IsHttpUrl(url)) return Status::InvalidArgument("not an http URL: " + url);
    HINTERNET session = Session();
    if (session == nullptr) return Status::Unavailable("no HTTP session");
    const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                        INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT |
                        INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI |
                        INTERNET_FLAG_KEEP_CONNECTION;
    InternetHandle request(::InternetOpenUrlA(session, url.c_str(), nullptr, 0, flags, 0));
    if (request.get() == nullptr) {
      DWORD error = ::GetLastError();
      if (error == ERROR_INTERNET_INVALID_URL || error == ERROR_INTERNET_UNRECOGNIZED_SCHEME) {
        return Status::InvalidArgument("malformed URL: " + url);
      }
      return Status::Unavailable(Win32ErrorText(error) + ": " + url);
    }
    DWORD status = 0;
    DWORD size = sizeof status;
    if (!::HttpQueryInfoA(request.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                          &size, nullptr) ||
        status == 0) {
      return Status::Unavailable("no HTTP status: " + url);
    }
    HttpResponse response;
    response.status = static_cast<long>(status);
    while (response.body.size() < max_body) {
      char buffer[4096];
      DWORD want = static_cast<DWORD>(std::min(sizeof buffer, max_body - response.body.size()));
      DWORD got = 0;
      if (!::InternetReadFile(request.get(), buffer, want, &got)) {
        return Status::Unavailable(Win32ErrorText(::GetLastError()) + ": " + url);
      }
      if (got == 0) break;
      response.body.append(buffer, got);
    }
    return response;
  }

 private:
  // One session for the adapter; WinINet's handles are safe to share between threads.
  HINTERNET Session() {
    std::lock_guard lock(mutex_);
    if (session_.get() == nullptr) {
      session_.reset(::InternetOpenA("Vexmor", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
      if (session_.get() == nullptr) return nullptr;
      DWORD connect = static_cast<DWORD>(options_.connect_timeout.count());
      DWORD total = static_cast<DWORD>(options_.total_timeout.count());
      ::InternetSetOptionA(session_.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connect,
                           sizeof connect);
      ::InternetSetOptionA(session_.get(), INTERNET_OPTION_SEND_TIMEOUT, &total, sizeof total);
      ::InternetSetOptionA(session_.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &total, sizeof total);
    }
    return session_.get();
  }

  HttpOptions options_;
  std::mutex mutex_;
  InternetHandle session_;
};

std::unique_ptr<Http>& Slot() {
  static std::unique_ptr<Http> http = MakeWinInetHttp();
  return http;
}

}  // namespace

std::unique_ptr<Http> MakeWinInetHttp(HttpOptions options) {
  return std::make_unique<WinInetHttp>(options);
}

Http& DefaultHttp() {
  return *Slot();
}

void SetDefaultHttp(std::unique_ptr<Http> http) {
  Slot() = http ? std::move(http) : MakeWinInetHttp();
}

}  // namespace vexmor::platform
