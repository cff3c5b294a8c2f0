// The signature server's request handling: the HTTP header parser as a connection uses it, then
// the answer to what it parsed. Every answer is a status the protocol knows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <boost/beast/http.hpp>

#include "request_handler.h"
#include "signature_store.h"

namespace http = boost::beast::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto store = vexmor::sigd::MakeMemorySignatureStore();
  http::request_parser<http::empty_body> parser;
  parser.header_limit(8 * 1024);
  parser.eager(false);
  boost::system::error_code ec;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (!rest.empty() && !parser.is_header_done()) {
    size_t used = parser.put(boost::asio::buffer(rest.data(), rest.size()), ec);
    if (ec || used == 0) break;
    rest.remove_prefix(used);
  }
  if (ec || !parser.is_header_done()) return 0;
  const auto& request = parser.get();
  std::string_view method(request.method_string().data(), request.method_string().size());
  std::string_view target(request.target().data(), request.target().size());
  vexmor::sigd::Reply reply = vexmor::sigd::HandleRequest(method, target, *store);
  switch (reply.status) {
    case 200:
    case 400:
    case 404:
    case 405:
    case 414:
    case 500:
    case 503:
      return 0;
    default:
      std::abort();
  }
}
