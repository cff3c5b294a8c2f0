#include "imap_xguid.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

// libetpan's own parsers for the pieces of a response, exported by the library but not declared
// in its installed headers.
extern "C" {
int mailimap_space_parse(mailstream* fd, MMAPString* buffer, size_t* indx);
int mailimap_token_case_insensitive_parse(mailstream* fd, MMAPString* buffer, size_t* indx,
                                          const char* token);
int mailimap_astring_parse(mailstream* fd, MMAPString* buffer,
                           struct mailimap_parser_context* parser_ctx, size_t* indx, char** result,
                           size_t progr_rate, progress_function* progr_fun);
void mailimap_astring_free(char* astring);
}

namespace vexmor::platform::imap {
namespace {

constexpr int kXGuidType = 1;

void FreeXGuid(mailimap_extension_data* data) {
  if (data == nullptr) return;
  if (data->ext_data != nullptr) std::free(data->ext_data);
  std::free(data);
}

int ParseXGuid(int calling_parser, mailstream* fd, MMAPString* buffer,
               mailimap_parser_context* parser_ctx, size_t* indx, mailimap_extension_data** result,
               size_t progr_rate, progress_function* progr_fun);

mailimap_extension_api g_xguid = {const_cast<char*>("X-GUID"), -1, ParseXGuid, FreeXGuid};

// "X-GUID" SP astring, in a FETCH response.
int ParseXGuid(int calling_parser, mailstream* fd, MMAPString* buffer,
               mailimap_parser_context* parser_ctx, size_t* indx, mailimap_extension_data** result,
               size_t progr_rate, progress_function* progr_fun) {
  if (calling_parser != MAILIMAP_EXTENDED_PARSER_FETCH_DATA) return MAILIMAP_ERROR_PARSE;
  size_t at = *indx;
  int r = mailimap_token_case_insensitive_parse(fd, buffer, &at, "X-GUID");
  if (r != MAILIMAP_NO_ERROR) return r;
  r = mailimap_space_parse(fd, buffer, &at);
  if (r != MAILIMAP_NO_ERROR) return r;
  char* value = nullptr;
  r = mailimap_astring_parse(fd, buffer, parser_ctx, &at, &value, progr_rate, progr_fun);
  if (r != MAILIMAP_NO_ERROR) return r;
  char* copy = strdup(value);
  mailimap_astring_free(value);
  auto* data = static_cast<mailimap_extension_data*>(std::malloc(sizeof(mailimap_extension_data)));
  if (copy == nullptr || data == nullptr) {
    std::free(copy);
    std::free(data);
    return MAILIMAP_ERROR_MEMORY;
  }
  data->ext_extension = &g_xguid;
  data->ext_type = kXGuidType;
  data->ext_data = copy;
  *result = data;
  *indx = at;
  return MAILIMAP_NO_ERROR;
}

}  // namespace

mailimap_fetch_att* NewXGuidFetchAtt() {
  static std::once_flag registered;
  std::call_once(registered, [] { mailimap_extension_register(&g_xguid); });
  return mailimap_fetch_att_new_extension(strdup("X-GUID"));
}

std::string XGuidOf(const mailimap_msg_att_item* item) {
  if (item == nullptr || item->att_type != MAILIMAP_MSG_ATT_ITEM_EXTENSION) return {};
  const mailimap_extension_data* data = item->att_data.att_extension_data;
  if (data == nullptr || data->ext_extension != &g_xguid || data->ext_data == nullptr) return {};
  return static_cast<const char*>(data->ext_data);
}

}  // namespace vexmor::platform::imap
