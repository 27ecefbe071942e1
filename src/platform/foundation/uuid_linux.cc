// The one file that uses libuuid.
#include <uuid/uuid.h>

#include "platform/foundation/foundation.h"

namespace sentrel::foundation {

std::string UUID::UUIDString() {
  uuid_t uuid;
  uuid_generate_random(uuid);
  char text[37];  // 36 characters and the terminator
  uuid_unparse_upper(uuid, text);
  return text;
}

}  // namespace sentrel::foundation
