// Kept apart from RaidDriver.cc so that programs using the driver without a Machine (tests that
// call Control directly, fuzzers) do not need the machine's implementation.
#include <map>
#include <memory>

#include "simulator/RaidDriver.h"

namespace vesk::sim {

std::vector<DeviceId> AddControllerDevices(Machine& machine,
                                           const std::shared_ptr<RaidDriver>& driver) {
  std::vector<DeviceId> ids;
  auto devices = std::make_shared<std::map<std::wstring, DeviceId>>();
  for (const auto& c : driver->Snapshot().controllers) {
    DeviceSpec description;
    description.manufacturer = L"Korva Corporation";
    description.service = c.service;
    description.pdoName = c.pdoName;
    description.backend = driver;
    DeviceId id = machine.AddDevice(std::move(description));
    (*devices)[c.pdoName] = id;
    ids.push_back(id);
  }
  Machine* owner = &machine;
  // The handler checks that the machine it was made for is still the current one, so that a
  // driver outliving its machine never reaches a destroyed one.
  driver->SetRemovalHandler([owner, devices](const std::wstring& pdoName) {
    auto it = devices->find(pdoName);
    if (it != devices->end() && Machine::Current() == owner) owner->RemoveDevice(it->second);
  });
  return ids;
}

}  // namespace vesk::sim
