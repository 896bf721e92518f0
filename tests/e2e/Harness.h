// A simulated machine with the simulated RAID driver behind one device per controller, and a
// recorder of every request that reaches the driver.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
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
      devices.push_back(AddDevice(controller));
    }
  }
  ~SimulatedMachine() { ControllerDeviceBuilder::IdentifierQueue().clear(); }

  // Plugs in the device of one controller of the model, behind the recorder.
  vesk::sim::DeviceId AddDevice(const vesk::sim::Controller& controller) {
    vesk::sim::DeviceSpec description;
    description.manufacturer = L"Korva Corporation";
    description.service = controller.service;
    description.pdoName = controller.pdoName;
    description.backend = recorder;
    return machine.AddDevice(std::move(description));
  }

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

inline const Controller& Record(StorageManagement& m, const vesk_guid& id) {
  return *m.GetControllers().GetControllersById().at(id);
}
inline const DeviceHandle* Device(StorageManagement& m, const vesk_guid& id) {
  return Record(m, id).GetDeviceHandle().get();
}
inline const Volume& VolumeNamed(StorageManagement& m, std::string_view name) {
  for (const auto& [id, volume] : m.GetVolumes()) {
    if (Text(volume->name, sizeof volume->name) == name) return *volume;
  }
  throw std::out_of_range(std::string(name));
}

// A management operation with arguments that change the demo machine, what brings the machine
// into a state where they do (run on a refreshed facade), and the operation's message for a
// driver status (before " IOCTL completed with error.").
struct OperationCase {
  const char* name;
  std::uint32_t functionCode;
  const char* message;
  std::function<void(SimulatedMachine&, StorageManagement&)> prepare;
  std::function<void(StorageManagement&)> run;
};

inline std::vector<OperationCase> EveryOperation() {
  using namespace demo;
  using M = StorageManagement&;
  using S = SimulatedMachine&;
  namespace fn = vesk::sim::function;
  // No spare takes the lost member's place: the operations under test restore it themselves.
  auto noSpare = [](S s) {
    s.driver->Edit(
        [](vesk::sim::Topology& t) { t.controllers[0].FindDrive(kSataSpare)->spare = false; });
  };
  auto failMember = [=](S s, M) {
    noSpare(s);
    s.driver->SetDriveStatus(kSataMember, vesk::sim::drive_status::kFailed);
  };
  return {
      {"ReadPatrol", fn::kSetReadPatrolPolicy, "Unable to set read patrol policy.", nullptr,
       [](M m) { m.SetControllerReadPatrolPolicy(Device(m, kSata), true); }},
      {"Rohi", fn::kSetRohiPolicy, "Unable to set controller rohi policy.", nullptr,
       [](M m) { m.SetControllerRohiPolicy(Device(m, kSata), true); }},
      {"ArrayCache", fn::kSetArrayCachePolicy, "Unable to set array cache policy.", nullptr,
       [](M m) { m.SetArrayCachePolicy(Device(m, kDorn), kDornArray, false); }},
      {"AddDrives", fn::kAddDrivesToArray, "Unable to add drives to array.", nullptr,
       [](M m) { m.AddDrivesToArray(Device(m, kDorn), kDornArray, {kNvmeFree1}); }},
      {"CancelVerify", fn::kCancelVerification, "Unable to cancel verify volume.",
       [](S, M m) { m.VerifyVolume(Device(m, kDorn), kData, false); },
       [](M m) { m.CancelVerifyVolume(Device(m, kDorn), kData); }},
      {"ChangeLayout", fn::kChangeRaidLayout, "Unable to change RAID layout.", nullptr,
       [](M m) {
         m.ChangeRaidLayout(Device(m, kSata), kSystem, vesk_strip_size{64}, VESK_RAID_5,
                            {kSataFree});
       }},
      {"Create", fn::kCreateVolume, "Unable to create volume.", nullptr,
       [](M m) {
         m.CreateVolume(Record(m, kDorn), Mirror(true), {kNvmeFree1, kNvmeFree2});
       }},
      {"Delete", fn::kDeleteVolume, "Unable to delete volume.", nullptr,
       [](M m) { m.DeleteVolume(Device(m, kDorn), kScratch); }},
      {"Expand", fn::kExpandVolume, "Unable to expand volume.", nullptr,
       [](M m) {
         m.ExpandVolume(Device(m, kDorn), kData,
                        m.GetVolumes().at(kData)->size + (std::uint64_t{1} << 40));
       }},
      {"Initialize", fn::kInitializeVolume, "Unable to initialize volume.",
       [](S, M m) {
         m.CreateVolume(Record(m, kDorn), Mirror(false), {kNvmeFree1, kNvmeFree2});
       },
       [](M m) { m.InitializeVolume(Device(m, kDorn), VolumeNamed(m, "Mirror").id); }},
      {"MarkVolumeNormal", fn::kMarkVolumeAsNormal, "Unable to mark volume as normal.",
       [=](S s, M m) {
         failMember(s, m);
         m.MarkDriveAsNormal(Device(m, kSata), kSataMember);
       },
       [](M m) { m.MarkVolumeAsNormal(Device(m, kSata), kSystem); }},
      {"Rebuild", fn::kRebuildVolume, "Unable to rebuild volume.",
       [=](S s, M m) {
         noSpare(s);
         m.RemoveDrive(Device(m, kSata), kSataMember);
       },
       [](M m) { m.RebuildVolume(Device(m, kSata), kSystem, {kSataFree}); }},
      {"Rename", fn::kRenameVolume, "Unable to rename volume.", nullptr,
       [](M m) { m.RenameVolume(Device(m, kDorn), kScratch, "Fast5"); }},
      {"VolumeCache", fn::kSetVolumeCachePolicy, "Unable to set volume cache policy.", nullptr,
       [](M m) {
         m.SetVolumeCachePolicy(Device(m, kDorn), kScratch, vesk_volume_cache_policy{3});
       }},
      {"Rwh", fn::kSetVolumeRwhPolicy, "Unable to set volume RWH policy.", nullptr,
       [](M m) {
         m.SetVolumeRaidWriteHolePolicy(Device(m, kDorn), kData, vesk_rwh_policy{2}, kNvmeFree1);
       }},
      {"Verify", fn::kVerifyVolume, "Unable to verify volume.", nullptr,
       [](M m) { m.VerifyVolume(Device(m, kDorn), kData, true); }},
      {"Led", fn::kActivateDriveLed, "Unable to activate drive LED.", nullptr,
       [](M m) { m.ActivateDriveLed(Record(m, kDorn), kNvmeFree1, true); }},
      {"ClearMetadata", fn::kClearDriveMetadata, "Unable to clear drive metadata.",
       [](S s, M) {
         s.driver->Edit([](vesk::sim::Topology& model) {
           model.controllers[0].FindDrive(kSataSpare)->foreignMetadata = true;
         });
       },
       [](M m) { m.ClearDriveMetadata(Device(m, kSata), kSataSpare); }},
      {"DisableCache", fn::kSetVolatileWriteCache, "Unable to set write cache on drive.", nullptr,
       [](M m) { m.DisableWriteCacheOnDrive(Device(m, kSata), kSataFree); }},
      {"EnableCache", fn::kSetVolatileWriteCache, "Unable to set write cache on drive.",
       [](S, M m) { m.DisableWriteCacheOnDrive(Device(m, kSata), kSataFree); },
       [](M m) { m.EnableWriteCacheOnDrive(Device(m, kSata), kSataFree); }},
      {"SetCache", fn::kSetVolatileWriteCache, "Unable to set write cache on drive.", nullptr,
       [](M m) { m.SetWriteCacheOnDrive(Device(m, kSata), kSataFree, false); }},
      {"MarkDriveNormal", fn::kMarkDriveAsNormal, "Unable to mark drive as normal.", failMember,
       [](M m) { m.MarkDriveAsNormal(Device(m, kSata), kSataMember); }},
      {"MarkSpare", fn::kMarkAsSpare, "Unable to mark drive as spare.", nullptr,
       [](M m) { m.MarkDriveAsSpare(Device(m, kSata), kSataFree); }},
      {"RemoveDrive", fn::kRemoveDrive, "Unable to remove drive.", nullptr,
       [](M m) { m.RemoveDrive(Device(m, kSata), kSataMember); }},
      {"ResetSmart", fn::kResetSmartEvent, "Unable to reset smart event.",
       [](S s, M) { s.driver->SetDriveStatus(kSataSpare, vesk::sim::drive_status::kSmartEvent); },
       [](M m) { m.ResetSmartEvent(Device(m, kSata), kSataSpare); }},
      {"UnmarkSpare", fn::kUnmarkSpare, "Unable to unmark spare drive.", nullptr,
       [](M m) { m.UnmarkSpareDrive(Device(m, kSata), kSataSpare); }},
  };
}

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
