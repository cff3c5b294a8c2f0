// The server's own id of a stored message, which IMAP MOVE and COPY keep and a delivery makes
// anew: Dovecot's FETCH item X-GUID (libetpan does not know it; this teaches its parser).
#pragma once

#include <libetpan/libetpan.h>

#include <string>

namespace vexmor::platform::imap {

// The fetch item "X-GUID"; registers its parser with libetpan on first use.
mailimap_fetch_att* NewXGuidFetchAtt();

// The X-GUID of one fetched item; empty when the item is another.
std::string XGuidOf(const mailimap_msg_att_item* item);

}  // namespace vexmor::platform::imap
