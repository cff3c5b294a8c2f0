// The message mover: moves the message whose entry ids the caller set beforehand (as
// hexadecimal text) into "Spam", "Spam_Posted" or back into the Inbox of the default store.
//
// The ids and the kept inbox path are process-wide, as the add-in's callers expect: a caller
// sets the ids and calls MoveToFolder with no other mover call in between. The account the
// mover logs on to is installed once by the library's wiring code.
#pragma once

#include <functional>
#include <string>

#include "vexmor/platform/mapi_store.h"

namespace vexmor::addin {

enum class MoveKind : int { kSpam = 0, kSpamPosted = 1, kInbox = 2 };

// The account every move logs on to; nullptr removes it (moves then fail). The object must
// outlive every move.
void UseMapiLogon(platform::MapiLogon* logon);
// The tray-icon step after a move to "Spam" (true when the client's new-mail icon was taken
// down). Without one, the user-interface library's frame window does it.
void UseTrayIconRemover(std::function<bool()> remover);

// messageIdHex and parentIdHex.
void SetMessageIdHex(std::string hex);
void SetParentIdHex(std::string hex);
std::string MessageIdHex();
std::string ParentIdHex();
// The kept path of the receive folder (empty until the first move computes it).
std::string InboxPath();
// Forgets the kept path, for tests that play a fresh process.
void ResetInboxPath();

// Moves the designated message; true when it moved. Nothing is moved when the message's
// folder cannot be named by a path below "@PR_IPM_SUBTREE_ENTRYID".
bool MoveToFolder(MoveKind kind);

}  // namespace vexmor::addin
