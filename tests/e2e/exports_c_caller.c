/* The exports header as a C host sees it: the declarations compile as C, and the functions
 * resolved by name are called through pointers of the declared types. */
#include <dlfcn.h>
#include <stddef.h>

#include "vexmor/hook/exports.h"

int VexmorCallExportsFromC(void* library) {
  __typeof__(&MoveMessage_Inbox) inbox = NULL;
  __typeof__(&MoveMailMessage_Inbox) inbox_large = NULL;
  __typeof__(&CheckMessage_Folder) check = NULL;
  __typeof__(&CheckMailMessage_Folder) check_large = NULL;
  __typeof__(&MoveMessage_DeletedItems) feedback = NULL;
  __typeof__(&MoveMailMessage_DeletedItems) feedback_large = NULL;
  __typeof__(&RemoveMsg_SentItems) sent = NULL;
  __typeof__(&RemoveTrayIcon_Taskbar) tray = NULL;

  *(void**)&inbox = dlsym(library, "MoveMessage_Inbox");
  *(void**)&inbox_large = dlsym(library, "MoveMailMessage_Inbox");
  *(void**)&check = dlsym(library, "CheckMessage_Folder");
  *(void**)&check_large = dlsym(library, "CheckMailMessage_Folder");
  *(void**)&feedback = dlsym(library, "MoveMessage_DeletedItems");
  *(void**)&feedback_large = dlsym(library, "MoveMailMessage_DeletedItems");
  *(void**)&sent = dlsym(library, "RemoveMsg_SentItems");
  *(void**)&tray = dlsym(library, "RemoveTrayIcon_Taskbar");
  if (!inbox || !inbox_large || !check || !check_large || !feedback || !feedback_large || !sent ||
      !tray) {
    return 0;
  }
  inbox(101, 4, 0, 0, "C subject", "c@caller.example", "From: <c@caller.example>\r\n", "body", "");
  inbox_large(102, 4, 0, "From: <c@caller.example>\r\n", "c@caller.example");
  check(103, 9, 0, 1, "C subject", "c@caller.example", "", "<p>body</p>", "");
  check_large(104, 9, 0, "", "c@caller.example");
  feedback(0, 2, "C subject", "c@caller.example", "", "body", "");
  feedback_large(2, "From: <c@caller.example>\r\n", "");
  sent("to@caller.example", "");
  tray();
  return 1;
}
