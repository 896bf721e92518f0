// A simulated machine with the simulated RAID driver behind one device per controller, and a
// recorder of every request that reaches the driver.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/DeviceBuilder.h"
#include "simulator/Machine.h"
#include "simulator/RaidDriver.h"
#include "vesk/StorageManagement.h"

namespace Vesk::testing {

// One request as it reached the driver.
struct SentRequest {
  std::wstring pdoName;
  std::uint32_t functionCode = 0;
  std::uint32_t apiVersion = 0;
  std::uint32_t length = 0;
  std::vector<std::uint8_t> bytes;  // the request as sent
};

class RecordingBackend : public vesk::sim::DeviceBackend {
 public:
  explicit RecordingBackend(std::shared_ptr<vesk::sim::RaidDriver> driver)
      : driver(std::move(driver)) {}

  vesk::sim::IoResult Control(const vesk::sim::IoControl& call) override {
    SentRequest sent;
    sent.pdoName = call.pdoName;
    sent.length = call.inSize;
    if (call.inSize >= 32) {
      std::memcpy(&sent.functionCode, call.in + 16, 4);
      std::memcpy(&sent.apiVersion, call.in + 28, 4);
    }
    sent.bytes.assign(call.in, call.in + call.inSize);
    {
      std::lock_guard guard(lock);
      if (faultAt != 0 && ++sinceArmed == faultAt) {
        armed.functionCode = sent.functionCode;
        armed.outOfBand = call.inSize >= 12 && std::memcmp(call.in + 4, "TALU OOB", 8) == 0;
        armed.pdoName = call.pdoName;
        armed.count = 1;
        driver->InjectFault(armed);
      }
      requests.push_back(std::move(sent));
    }
    vesk::sim::IoResult result = driver->Control(call);
    std::function<void(const SentRequest&, BYTE*, DWORD)> edit;
    {
      std::lock_guard guard(lock);
      edit = rewrite;
    }
    if (edit && result.ok) edit(Requests().back(), call.out, call.outSize);
    return result;
  }

  // Changes answers after the driver wrote them: the answers no well-behaved driver gives.
  void Rewrite(std::function<void(const SentRequest&, BYTE*, DWORD)> edit) {
    std::lock_guard guard(lock);
    rewrite = std::move(edit);
  }

  std::vector<SentRequest> Requests() const {
    std::lock_guard guard(lock);
    return requests;
  }
  std::vector<SentRequest> Requests(std::uint32_t functionCode) const {
    std::vector<SentRequest> matching;
    for (auto& request : Requests()) {
      if (request.functionCode == functionCode) matching.push_back(request);
    }
    return matching;
  }
  void Clear() {
    std::lock_guard guard(lock);
    requests.clear();
  }

  // Arms `fault` for request `nth` (from 1) from now on, whatever its function code and device
  // (the request's own replace those of `fault`): a fault loop fails request 1, 2, 3, ... of a
  // run this way. nth 0 disarms.
  void FaultAt(std::size_t nth, vesk::sim::Fault fault) {
    std::lock_guard guard(lock);
    faultAt = nth;
    sinceArmed = 0;
    armed = std::move(fault);
  }
  bool FaultFired() const {
    std::lock_guard guard(lock);
    return faultAt != 0 && sinceArmed >= faultAt;
  }

 private:
  std::shared_ptr<vesk::sim::RaidDriver> driver;
  mutable std::mutex lock;
  std::vector<SentRequest> requests;
  std::function<void(const SentRequest&, BYTE*, DWORD)> rewrite;
  std::size_t faultAt = 0;
  std::size_t sinceArmed = 0;
  vesk::sim::Fault armed;
};

inline std::string Topology(const char* name) {
  return std::string(VESK_TOPOLOGY_DIR) + "/" + name + ".json";
}

// A machine whose controller devices all speak `specMajor`.0 (0: as the topology file says).
class SimulatedMachine {
 public:
  explicit SimulatedMachine(const char* topology, int specMajor = 0)
      : driver(vesk::sim::RaidDriver::FromFile(Topology(topology))),
        recorder(std::make_shared<RecordingBackend>(driver)) {
    // Identifiers queued by an earlier test's discovery belong to another machine.
    ControllerDeviceBuilder::IdentifierQueue().clear();
    if (specMajor != 0) {
      driver->Edit([&](vesk::sim::Topology& model) {
        for (auto& controller : model.controllers) {
          controller.specMajor = static_cast<std::uint8_t>(specMajor);
        }
      });
    }
    for (const auto& controller : driver->Snapshot().controllers) {
      vesk::sim::DeviceSpec description;
      description.manufacturer = L"Korva Corporation";
      description.service = controller.service;
      description.pdoName = controller.pdoName;
      description.backend = recorder;
      devices.push_back(machine.AddDevice(std::move(description)));
    }
    machine.WaitForNotifications();
  }
  ~SimulatedMachine() { ControllerDeviceBuilder::IdentifierQueue().clear(); }

  vesk::sim::Topology Model() const { return driver->Snapshot(); }

  vesk::sim::Machine machine;
  std::shared_ptr<vesk::sim::RaidDriver> driver;
  std::shared_ptr<RecordingBackend> recorder;
  std::vector<vesk::sim::DeviceId> devices;
};

// A full refresh of the facade's own snapshot, the way a client does it.
inline void FullRefresh(StorageManagement& management) {
  ClearMap(management.GetArrays(), management.GetVolumes(), management.GetDrives());
  management.SetControllers();
  for (auto& [id, controller] : management.GetControllers().GetControllersById()) {
    management.SetArrays(*controller, management.GetArrays());
    management.SetVolumes(*controller, management.GetVolumes());
    management.SetDrives(*controller, management.GetDrives());
  }
}

inline std::string Text(const char* field, std::size_t width) {
  return std::string(field, strnlen(field, width));
}

inline vesk_guid Guid(const char* text) {
  auto parsed = vesk::sim::ParseGuid(text);
  if (!parsed) throw std::invalid_argument(text);
  return *parsed;
}

// Elements of the demo topology that the tests act on.
namespace demo {
inline const vesk_guid kSata = Guid("c0a7a000-0000-4000-8000-000000000001");
inline const vesk_guid kDorn = Guid("c0d0e100-0000-4000-8000-000000000002");
inline const vesk_guid kSataArray = Guid("a0a7a000-0000-4000-8000-000000000001");
inline const vesk_guid kDornArray = Guid("a0d0e100-0000-4000-8000-000000000001");
inline const vesk_guid kSystem = Guid("f0a7a000-0000-4000-8000-000000000001");
inline const vesk_guid kData = Guid("f0d0e100-0000-4000-8000-000000000001");
inline const vesk_guid kScratch = Guid("f0d0e100-0000-4000-8000-000000000002");
inline const vesk_guid kSataMember = Guid("5a7a0000-0000-4000-8000-000000000001");
inline const vesk_guid kSataSpare = Guid("5a7a0000-0000-4000-8000-000000000002");
inline const vesk_guid kSataFree = Guid("5a7a0000-0000-4000-8000-000000000003");
inline const vesk_guid kNvmeFree1 = Guid("d0e10000-0000-4000-8000-000000000004");
inline const vesk_guid kNvmeFree2 = Guid("d0e10000-0000-4000-8000-000000000005");

// The parameters of a RAID 1 volume named "Mirror".
inline vesk_new_volume_parameters Mirror(bool initialize) {
  vesk_new_volume_parameters parameters{};
  std::memcpy(parameters.name, "Mirror", 6);
  parameters.raidLevel = VESK_RAID_1;
  parameters.SetInitialize(initialize);
  return parameters;
}
}  // namespace demo

// Runs `call`, which must throw E; checks its message and code.
template <class E, class Call>
void ExpectThrows(Call&& call, std::string_view message, std::uint32_t code) {
  try {
    call();
    ADD_FAILURE() << "no exception; expected \"" << message << "\"";
  } catch (const E& e) {
    EXPECT_EQ(e.Message(), message);
    EXPECT_EQ(e.ErrorCode(), code) << message;
    if constexpr (std::is_same_v<E, TaluException>) {
      EXPECT_EQ(dynamic_cast<const VeskException*>(&e), nullptr) << "a driver status: " << message;
    }
  }
}

}  // namespace Vesk::testing
