#include "platform/posix/Handles.h"

#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/posix/Errors.h"

namespace vesk::platform {

namespace {

struct HandleTable {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, std::shared_ptr<KernelObject>> objects;
  // Multiples of 4 like Windows handles, starting well above 0 and the small pseudo-handles.
  std::uintptr_t next = 0x100;
  // Closed values, the most recently closed last: Windows hands a closed value out again to the
  // next object created, so a stale handle reaches that object rather than failing.
  std::vector<std::uintptr_t> free;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  std::uintptr_t value = table.next;
  if (table.free.empty()) {
    table.next += 4;
  } else {
    value = table.free.back();
    table.free.pop_back();
  }
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handle));
  return it == table.objects.end() ? nullptr : it->second;
}

std::size_t OpenHandleCount() {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  return table.objects.size();
}

bool LookupHandles(const HANDLE* handles, DWORD count, std::shared_ptr<KernelObject>* objects) {
  auto& table = Table();
  std::lock_guard guard(table.lock);
  for (DWORD i = 0; i < count; ++i) {
    auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(handles[i]));
    if (it == table.objects.end()) return false;
    objects[i] = it->second;
  }
  return true;
}

HANDLE InsertDeviceHandle(std::unique_ptr<HostFile> file) {
  return InsertHandle(std::make_shared<FileObject>(std::move(file)));
}

std::shared_ptr<HostFile> LookupDeviceHandle(HANDLE handle) {
  auto object = LookupHandleAs<FileObject>(handle, KernelObject::Kind::File);
  if (!object) return nullptr;
  return std::shared_ptr<HostFile>(object, object->file.get());
}

}  // namespace vesk::platform

BOOL CloseHandle(HANDLE object) {
  using namespace vesk::platform;
  std::shared_ptr<KernelObject> closed;  // destroyed outside the table lock
  {
    auto& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<std::uintptr_t>(object));
    if (it == table.objects.end()) return Fail(ERROR_INVALID_HANDLE, FALSE);
    closed = std::move(it->second);
    table.objects.erase(it);
    table.free.push_back(reinterpret_cast<std::uintptr_t>(object));
  }
  return TRUE;
}
