// Security descriptors as the emulation understands them: what an ordinary user may do with a
// named object, and whether users other than its creator may open it at all.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "platform/win32.h"

namespace vesk::platform {

// How generic rights in an ACE map onto the specific rights of one type of object.
struct GenericMapping {
  std::uint32_t read;
  std::uint32_t write;
  std::uint32_t execute;
  std::uint32_t all;
};

// What a named object keeps from the security attributes it was created with.
struct NamedObjectSecurity {
  // The segment's mode. The owner always has read and write; other users get them when the DACL
  // grants an ordinary user any right, or is null.
  mode_t mode = 0600;
  // Whether a later opener gets the object's full access (what CreateMutexW and CreateEventW ask
  // for): the rights the DACL grants Everyone, authenticated, built-in or interactive users (the
  // groups of any logged-on caller), less those a deny ACE for them names, must include all of it.
  // Always with a null DACL, and with none (the creator's default, which grants the creator's
  // user, here every process, everything).
  bool fullAccess = true;
};

// Reads the creator's security attributes. Returns false with `error` set for a descriptor the
// emulation did not make.
bool SecurityFromAttributes(const SECURITY_ATTRIBUTES* attributes, const GenericMapping& mapping,
                            NamedObjectSecurity& security, DWORD& error);

}  // namespace vesk::platform
