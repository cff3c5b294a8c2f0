/* The message operations of the hook library, as the host program calls them.
 *
 * The host loads the library by name and resolves these functions at run time; their names
 * and argument orders are fixed. Texts are zero-terminated single-byte (ANSI) strings owned
 * by the caller: each function reads them during the call and keeps nothing; a null pointer
 * reads as an empty text. Integers are 32-bit signed. No function returns a value, and none
 * lets a failure escape: each logs it into "Vexmor_OE_Log.txt" of the install directory.
 *
 * body kind: 1 when the body is HTML, 0 when it is plain text.
 * operation: 1 Report Spam; any other value Not Spam.
 */
#ifndef VEXMOR_HOOK_EXPORTS_H
#define VEXMOR_HOOK_EXPORTS_H

#include <stdint.h>

#if defined(__GNUC__)
#define VEXMOR_HOOK_API __attribute__((visibility("default")))
#else
#define VEXMOR_HOOK_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A new message in a watched folder: the full incoming chain; spam moves into "Spam". */
VEXMOR_HOOK_API void MoveMessage_Inbox(int32_t lMessageId, int32_t lFolderId, int32_t lSpamFolderId,
                                       int32_t iBodyKind, const char* szSubject,
                                       const char* szSender, const char* szHeader,
                                       const char* szBody, const char* szExtra);
/* The same for a message too large to be passed with its body. */
VEXMOR_HOOK_API void MoveMailMessage_Inbox(int32_t lMessageId, int32_t lFolderId,
                                           int32_t lSpamFolderId, const char* szHeader,
                                           const char* szSender);
/* A message of a folder the user asked to check. */
VEXMOR_HOOK_API void CheckMessage_Folder(int32_t lMessageId, int32_t lFolderId,
                                         int32_t lSpamFolderId, int32_t iBodyKind,
                                         const char* szSubject, const char* szSender,
                                         const char* szHeader, const char* szBody,
                                         const char* szExtra);
VEXMOR_HOOK_API void CheckMailMessage_Folder(int32_t lMessageId, int32_t lFolderId,
                                             int32_t lSpamFolderId, const char* szHeader,
                                             const char* szSender);
/* Report Spam (operation 1) or Not Spam on one message; the host moves the message itself. */
VEXMOR_HOOK_API void MoveMessage_DeletedItems(int32_t iBodyKind, int32_t iOperation,
                                              const char* szSubject, const char* szSender,
                                              const char* szHeader, const char* szBody,
                                              const char* szExtra);
VEXMOR_HOOK_API void MoveMailMessage_DeletedItems(int32_t iOperation, const char* szHeader,
                                                  const char* szSender);
/* A message the user sent: its recipients become approved senders. */
VEXMOR_HOOK_API void RemoveMsg_SentItems(const char* szRecipient, const char* szHeader);
/* Takes the client's new-mail icon away after spam, and asks the host for command 4. */
VEXMOR_HOOK_API void RemoveTrayIcon_Taskbar(void);

/* The launcher's calls. InstallHook takes the full path of the calling program inside the
 * install directory, records that directory and installs the watcher hook: 1 on success.
 * UnInstallHook removes it: 1 when it was removed. IsExeRunning_Exe asks to close a running
 * mail client and ends it with the host program: 1 to go on, 0 when the user said No. */
VEXMOR_HOOK_API int32_t InstallHook(const char* szPath);
VEXMOR_HOOK_API int32_t UnInstallHook(void);
VEXMOR_HOOK_API int32_t IsExeRunning_Exe(void);
/* The watcher: the call-window-procedure hook (lParam: the message record). */
VEXMOR_HOOK_API int64_t InitialHook(int32_t nCode, uint64_t wParam, int64_t lParam);
/* The library's events as its loader delivers them: iReason 1 process attach (pContext: the
 * loader's offer, vexmor::hook::LoaderContext of vexmor/hook/oe_integration.h), 2 thread
 * attach, 3 thread detach, 0 process detach (pContext unused). Returns 1. */
VEXMOR_HOOK_API int32_t HookLibraryMain(int32_t iReason, const void* pContext);

#ifdef __cplusplus
}
#endif

#endif /* VEXMOR_HOOK_EXPORTS_H */
