// The background work of the add-in's start-up: approved ids from the recipients of sent mail,
// and domain entries derived from the id lists. Each runs on a thread of its own with its own
// sender-list object and, for the sent mail, its own logon.
#pragma once

#include "vexmor/platform/mapi_store.h"

namespace vexmor::addin {

// Every recipient of every message in the sent-mail folder becomes an approved id; the domain
// derivation follows when its once-only marker is due.
void SeedFromSentItems(platform::MapiLogon& logon);
// Every blocked id's domain becomes a blocked domain, every approved id's an approved domain.
void DeriveDomains();

}  // namespace vexmor::addin
