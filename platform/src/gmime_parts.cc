#include "gmime_parts.h"

namespace vexmor::platform::gmime {

bool IsAttachment(GMimeObject* object) {
  GMimeContentDisposition* disposition = g_mime_object_get_content_disposition(object);
  return disposition != nullptr && g_mime_content_disposition_is_attachment(disposition);
}

GMimeObject* FindTextPart(GMimeObject* object, const char* subtype) {
  if (GMIME_IS_MULTIPART(object)) {
    auto* multipart = GMIME_MULTIPART(object);
    const int count = g_mime_multipart_get_count(multipart);
    for (int i = 0; i < count; ++i) {
      if (GMimeObject* found = FindTextPart(g_mime_multipart_get_part(multipart, i), subtype)) {
        return found;
      }
    }
    return nullptr;
  }
  if (!GMIME_IS_TEXT_PART(object) || IsAttachment(object)) return nullptr;
  GMimeContentType* type = g_mime_object_get_content_type(object);
  return g_mime_content_type_is_type(type, "text", subtype) ? object : nullptr;
}

}  // namespace vexmor::platform::gmime
