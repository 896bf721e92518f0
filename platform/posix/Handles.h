// The process's handle table: HANDLE values map to reference-counted kernel objects. A handle
// keeps its object alive; an object may outlive its handle while a call or a wait still uses it.
#pragma once

#include <memory>

#include "platform/simulated/Host.h"
#include "platform/win32.h"

namespace vesk::platform {

class KernelObject {
 public:
  enum class Kind { Event, Mutex, File, Process, DiskFile };
  explicit KernelObject(Kind kind) : kind(kind) {}
  virtual ~KernelObject() = default;
  const Kind kind;
};

// An open device: what CreateFile2 returns.
class FileObject final : public KernelObject {
 public:
  explicit FileObject(std::unique_ptr<HostFile> file)
      : KernelObject(Kind::File), file(std::move(file)) {}
  const std::unique_ptr<HostFile> file;
};

// The most recently closed value is handed out first, as Windows does.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// Null for a closed or bogus handle.
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);

// Looks up `count` handles under one lock; false if any is closed or bogus.
bool LookupHandles(const HANDLE* handles, DWORD count, std::shared_ptr<KernelObject>* objects);

template <typename T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle, KernelObject::Kind kind) {
  auto object = LookupHandle(handle);
  if (!object || object->kind != kind) return nullptr;
  return std::static_pointer_cast<T>(std::move(object));
}

}  // namespace vesk::platform
