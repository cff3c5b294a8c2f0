// Finding a message's body among its MIME parts, the one way both mail stores do it.
#pragma once

#include <gmime/gmime.h>

namespace vexmor::platform::gmime {

// Whether the part is declared an attachment.
bool IsAttachment(GMimeObject* object);

// The first text part of the subtype ("html", "plain") that is not an attachment, depth
// first; a forwarded message's parts are not this message's body.
GMimeObject* FindTextPart(GMimeObject* object, const char* subtype);

}  // namespace vexmor::platform::gmime
