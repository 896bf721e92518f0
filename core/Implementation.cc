#include "core/Implementation.h"

#include <stdexcept>
#include <string>

#include "diagnostics/Logger.h"
#include "protocol/QueryReaders.h"
#include "vesk/Exceptions.h"

namespace Vesk {

namespace {

std::uint32_t MapVersion(std::uint32_t specificationVersion, const std::uint32_t (&indexes)[4]) {
  const std::uint32_t major = specificationVersion & 0xFFFF;
  const std::uint32_t minor = specificationVersion >> 16;
  if (minor == 0 && major >= 1 && major <= 4) return indexes[major - 1];
  throw std::runtime_error("Unsupported VESK specification version: " + std::to_string(major) +
                           "." + std::to_string(minor) + "!");
}

}  // namespace

std::uint32_t RecordApiVersion(std::uint32_t specificationVersion) {
  return MapVersion(specificationVersion, {0, 1, 2, 3});
}

std::uint32_t RequestApiVersion(std::uint32_t specificationVersion) {
  return MapVersion(specificationVersion, {0, 1, 1, 3});
}

StorageManagement::Implementation::Implementation() {
  pnpListener.arrival.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>(
      [this](_CM_NOTIFY_EVENT_DATA*) { OnPnpEvent("New controller detected."); }));
  pnpListener.removal.AddHandler(EventHandler<_CM_NOTIFY_EVENT_DATA*>(
      [this](_CM_NOTIFY_EVENT_DATA*) { OnPnpEvent("Controller removed."); }));
  // A failed registration leaves the object usable, only without notifications.
  pnpListener.Register(GUID_DEVINTERFACE_STORAGEPORT);
}

StorageManagement::Implementation::~Implementation() {
  // Stop notifications and wait for handlers in flight before anything is freed: a client's hook
  // may well look at the snapshot.
  pnpListener.Unregister();
  ClearMap(controllers.GetControllersById());
  ClearMap(arrays, volumes, drives);
}

void StorageManagement::Implementation::OnPnpEvent(const char* message) {
  if (Logger::IsEnabled()) Logger::Write(message);
  // The hook may destroy the facade, and this object with it: nothing of it is touched after.
  if (PnpCallback callback = pnpCallback.load()) callback();
}

std::vector<vesk_guid> StorageManagement::Implementation::GetControllerIdentifiers(
    const DeviceHandle& device) {
  RequestPtr<GetControllerIdentifiersIoctl<SynchronousIoctl>> request;
  communication.GetControllerIdentifiers(
      const_cast<DeviceHandle*>(&device), vesk_invalid_guid, VESK_SCOPE_NONE,
      static_cast<std::uint32_t>(kControllerIdentifiersLength), request);
  if (request->Status() != VESK_STATUS_SUCCESS) {
    throw VeskException("Unable to retrieve controller identifiers. IOCTL completed with error.",
                        request->Status());
  }
  return ReadControllerIdentifiers(request->Buffer(), request->BufferLength());
}

}  // namespace Vesk
