// The exported message operations: plain C entry points over MessageOperations. Each copies
// the caller's texts and runs its body under a guard, so no failure reaches the host program.
#include "vexmor/hook/exports.h"

#include <string>

#include "vexmor/hook/message_operations.h"

namespace {

using vexmor::hook::LibraryOperations;
using vexmor::hook::MessageTexts;

std::string Text(const char* text) {
  return text == nullptr ? std::string() : std::string(text);
}

MessageTexts Texts(int32_t kind, const char* subject, const char* sender, const char* header,
                   const char* body, const char* extra) {
  MessageTexts texts;
  texts.kind = kind;
  texts.subject = Text(subject);
  texts.sender = Text(sender);
  texts.header = Text(header);
  texts.body = Text(body);
  texts.extra = Text(extra);
  return texts;
}

}  // namespace

extern "C" {

void MoveMessage_Inbox(int32_t lMessageId, int32_t lFolderId, int32_t lSpamFolderId,
                       int32_t iBodyKind, const char* szSubject, const char* szSender,
                       const char* szHeader, const char* szBody, const char* szExtra) {
  LibraryOperations().Guard(vexmor::hook::kFailureInboxFull, [&](const std::string& dir) {
    LibraryOperations().MoveMessageInbox(
        dir, lMessageId, lFolderId, lSpamFolderId,
        Texts(iBodyKind, szSubject, szSender, szHeader, szBody, szExtra));
  });
}

void MoveMailMessage_Inbox(int32_t lMessageId, int32_t lFolderId, int32_t lSpamFolderId,
                           const char* szHeader, const char* szSender) {
  LibraryOperations().Guard(vexmor::hook::kFailureInboxLarge, [&](const std::string& dir) {
    LibraryOperations().MoveMailMessageInbox(dir, lMessageId, lFolderId, lSpamFolderId,
                                             Text(szHeader), Text(szSender));
  });
}

void CheckMessage_Folder(int32_t lMessageId, int32_t lFolderId, int32_t lSpamFolderId,
                         int32_t iBodyKind, const char* szSubject, const char* szSender,
                         const char* szHeader, const char* szBody, const char* szExtra) {
  LibraryOperations().Guard(vexmor::hook::kFailureCheckFull, [&](const std::string& dir) {
    LibraryOperations().CheckMessageFolder(
        dir, lMessageId, lFolderId, lSpamFolderId,
        Texts(iBodyKind, szSubject, szSender, szHeader, szBody, szExtra));
  });
}

void CheckMailMessage_Folder(int32_t lMessageId, int32_t lFolderId, int32_t lSpamFolderId,
                             const char* szHeader, const char* szSender) {
  LibraryOperations().Guard(vexmor::hook::kFailureCheckLarge, [&](const std::string& dir) {
    LibraryOperations().CheckMailMessageFolder(dir, lMessageId, lFolderId, lSpamFolderId,
                                               Text(szHeader), Text(szSender));
  });
}

void MoveMessage_DeletedItems(int32_t iBodyKind, int32_t iOperation, const char* szSubject,
                              const char* szSender, const char* szHeader, const char* szBody,
                              const char* szExtra) {
  LibraryOperations().Guard(
      vexmor::hook::kFailureFeedbackFull,
      [&](const std::string& dir) {
        LibraryOperations().MoveMessageDeletedItems(
            dir, iOperation, Texts(iBodyKind, szSubject, szSender, szHeader, szBody, szExtra));
      },
      /*release_selection=*/true);
}

void MoveMailMessage_DeletedItems(int32_t iOperation, const char* szHeader, const char* szSender) {
  LibraryOperations().Guard(
      vexmor::hook::kFailureFeedbackLarge,
      [&](const std::string& dir) {
        LibraryOperations().MoveMailMessageDeletedItems(dir, iOperation, Text(szHeader),
                                                        Text(szSender));
      },
      /*release_selection=*/true);
}

void RemoveMsg_SentItems(const char* szRecipient, const char* szHeader) {
  LibraryOperations().Guard(vexmor::hook::kFailureSentItems, [&](const std::string& dir) {
    LibraryOperations().RemoveMsgSentItems(dir, Text(szRecipient), Text(szHeader));
  });
}

void RemoveTrayIcon_Taskbar(void) {
  LibraryOperations().Guard(vexmor::hook::kFailureTrayIcon, [&](const std::string& dir) {
    LibraryOperations().RemoveTrayIconTaskbar(dir);
  });
}

}  // extern "C"
