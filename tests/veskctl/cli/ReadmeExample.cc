#include <cstring>
#include <string>

#include "vesk/StorageManagement.h"

// Verifies the volume called `name`, repairing what the verification finds; false when no
// volume has that name.
bool VerifyAndRepair(const std::string& name) {
  Vesk::StorageManagement storage;  // sends nothing until asked
  storage.SetControllers();         // discovery, then every controller
  for (auto& [id, controller] : storage.GetControllers().GetControllersById()) {
    storage.SetArrays(*controller, storage.GetArrays());
    storage.SetVolumes(*controller, storage.GetVolumes());
    storage.SetDrives(*controller, storage.GetDrives());
  }
  for (auto& [volumeId, volume] : storage.GetVolumes()) {
    if (name != std::string(volume->name, strnlen(volume->name, sizeof volume->name))) continue;
    auto& controller = *storage.GetControllers().GetControllersById().at(volume->controllerId);
    storage.VerifyVolume(controller.GetDeviceHandle().get(), volumeId, /*repair=*/true);
    return true;
  }
  return false;
}
