// Security descriptors as the emulation understands them: only what maps onto a POSIX mode.
#pragma once

#include <sys/types.h>

#include "platform/win32.h"

namespace vesk::platform {

// The mode a named object's shared-memory segment gets from the creator's security attributes.
// The owner always has read and write access; everyone else gets it when the descriptor grants
// Everyone, anonymous, authenticated or built-in users any access, or has a null DACL. Without
// attributes or without a DACL the creator's default applies: owner only. Returns false with
// `error` set for a descriptor the emulation did not make.
bool ModeFromSecurityAttributes(const SECURITY_ATTRIBUTES* attributes, mode_t& mode, DWORD& error);

}  // namespace vesk::platform
