#include "vexmor/addin/sender_seeding.h"

#include <vexmor/validate/CXml.h>

#include <exception>

#include "vexmor/addin/folder_paths.h"
#include "vexmor/addin/incoming_filter.h"
#include "vexmor/log/write_log.h"

namespace vexmor::addin {
namespace {

void AddToList(CXml& xml, const std::string& value, int32_t add_code, uint32_t kind) {
  std::string result;
  if (!xml.ReadFile(value, add_code, &result)) xml.WriteFile(value, kind);
}

void DeriveFrom(CXml& xml, const char* list, int32_t add_code, uint32_t kind) {
  std::string ids;
  if (!xml.GetAddress_File(list, &ids)) return;
  static constexpr std::string_view kSeparator = "[//]";
  // Text after the last separator is not an entry.
  for (size_t begin = 0, end; (end = ids.find(kSeparator, begin)) != std::string::npos;
       begin = end + kSeparator.size()) {
    std::string domain = DomainOfAddress(std::string_view(ids).substr(begin, end - begin));
    if (!domain.empty()) AddToList(xml, domain, add_code, kind);
  }
}

}  // namespace

void SeedFromSentItems(platform::MapiLogon& logon) {
  log::WriteAddinLog("Try to Create WID from Sent Items(S).\n", false);
  try {
    CXml xml(InstallDir());
    StatusOr<std::unique_ptr<platform::MapiSession>> session = logon.Logon();
    if (!session.ok()) return;
    StatusOr<platform::EntryId> store_id = FindDefaultStore(**session);
    if (!store_id.ok()) return;
    StatusOr<std::unique_ptr<platform::MapiStore>> store = (*session)->OpenMsgStore(*store_id);
    if (!store.ok()) return;
    // IMAP accounts name their sent folder freely; the special-use mark finds it first.
    StatusOr<platform::EntryId> sent =
        (*store)->GetWellKnownFolder(platform::WellKnownFolder::kIpmSentmail);
    if (!sent.ok()) sent = OpenFolderByPath(**store, '\\', kSentItemsPath);
    if (!sent.ok()) return;
    StatusOr<std::vector<platform::EntryId>> messages = (*store)->GetContentsTable(*sent);
    if (!messages.ok()) return;
    for (const platform::EntryId& message : *messages) {
      // The recipients are in the header: a large sent message is not read whole for them.
      StatusOr<platform::MessageProps> props =
          (*store)->GetMessagePropsBounded(message, kLargeMessageBytes - 1, 0);
      if (!props.ok()) continue;
      for (const std::string& address : props->recipient_addresses) {
        AddToList(xml, platform::Ansi(address), 6, 2);
      }
      if (CXml(InstallDir()).GetWhiteListIds_SentItems(2)) DeriveDomains();
    }
    (*session)->Logoff();
  } catch (const std::exception&) {
    log::WriteAddinLog("Failed at creating white list from sent items(B).", false);
  }
}

void DeriveDomains() {
  try {
    CXml xml(InstallDir());
    DeriveFrom(xml, "Id", 10, 3);
    DeriveFrom(xml, "WId", 14, 4);
  } catch (const std::exception&) {
  }
}

}  // namespace vexmor::addin
