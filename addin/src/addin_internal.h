// What the add-in library's own files share: object counting for unloading, and the account
// its background work logs on to.
#pragma once

#include "vexmor/addin/com.h"
#include "vexmor/platform/mapi_store.h"
#include "vexmor/platform/profile.h"

namespace vexmor::addin {

// Live objects, server locks and running background threads all keep the library loaded.
void ObjectCreated();
void ObjectDestroyed();
void LockModule(bool lock);
bool ModuleInUse();

// The account logon the library's wiring made (null when no account is set).
platform::MapiLogon* AccountLogon();
// true: the client is shutting down, so every wait of the account logon's connections on the
// server ends at once and no new connection is made; false (at connection): they work again.
void CancelAccountWaits(bool cancel);
// The profile files the library's wiring chose.
platform::Profile& AddinProfile();
// The client's desktop (its windows and notification area) for the window lookups and the tray
// icon's removal while the add-in is connected; null at disconnection takes it back.
void UseClientDesktop(com::_Application* application);
// The session the mover logs on to: the client's own while the add-in is connected (null at
// disconnection goes back to the account's).
void UseClientSession(com::_Application* application);

// The add-in object and the extension object, made by the class factory and ExchEntryPoint.
com::IDTExtensibility2* NewOutLookAddin();
com::IExchExt* NewExchExtension();
void ResetSendCounter();

}  // namespace vexmor::addin
