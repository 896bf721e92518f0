// Every managed operation as it reaches the driver: the one request it sends, on the device of the
// controller it was given, compared byte for byte with the request written by hand at its wire
// offsets (operation, target element and every argument); and its refusal once the facade is
// disposed.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "ManagedTestSupport.h"
#include "e2e/Harness.h"
#include "protocol/WireImage.h"
#include "vesk_managed/StorageManagementBase.h"

namespace VESK_Managed {
namespace {

using Vesk::vesk_guid;
using Vesk::test::TestId;
using Vesk::test::WireImage;
namespace fn = vesk::sim::function;

// 16 bytes counting up, so that a group written in the wrong order or place shows.
const vesk_guid kElementId = TestId(0x10);
const vesk_guid kDriveIds[] = {TestId(0x40), TestId(0x60), TestId(0x80), TestId(0xA0)};
const Guid kElement(kElementId);
const Guid kDrive[] = {Guid(kDriveIds[0]), Guid(kDriveIds[1]), Guid(kDriveIds[2]),
                       Guid(kDriveIds[3])};
const vesk_guid kNone{};

struct OperationCase {
  const char* name;
  std::function<void(StorageManagementBase&, const Controller&)> call;
  WireImage expected;              // the request expected on the wire
  bool targetsController = false;  // then the target is the controller the request went to
  int specMajor = 0;               // the controllers' major version, when not the topology's
};

void PrintTo(const OperationCase& c, std::ostream* out) { *out << c.name; }

WireImage Request(std::uint32_t length, std::uint32_t function, const vesk_guid& target = kNone,
                  std::uint32_t apiVersion = 3) {
  return WireImage::Management(length, function, apiVersion).Id(32, target);
}

using TargetOnly = vesk_status (StorageManagementBase::*)(const Controller&, const Guid&);

// An operation that names one element and, where `value` is given, one byte at 48.
OperationCase Targeted(const char* name, TargetOnly member, std::uint32_t function,
                       int value = -1) {
  return {name,
          [member](auto& facade, auto& controller) { (facade.*member)(controller, kElement); },
          value < 0 ? Request(48, function, kElementId)
                    : Request(49, function, kElementId).U8(48, std::uint8_t(value))};
}

// A CreateVolume whose flags and drives vary, with every other field fixed; its name fills the
// field (16 characters, the longest accepted).
OperationCase Create(const char* name, bool initialize, bool keepData, int rwhPolicy,
                     std::uint8_t flagsByte, std::vector<vesk_guid> driveIds = {},
                     const vesk_guid& keepDrive = kNone, const vesk_guid& journalingDrive = kNone) {
  auto image = WireImage::Management(std::uint32_t(94 + 16 * driveIds.size()), fn::kCreateVolume, 3)
                   .U16(32, std::uint16_t(driveIds.size()))
                   .Text(34, "ABCDEFGHIJKLMNOP")
                   .U16(50, 0x0010)
                   .U8(52, 3)
                   .U64(53, 0x0102030405060708ull)
                   .U8(61, flagsByte)
                   .Id(62, keepDrive)
                   .Id(78, journalingDrive);
  for (std::size_t i = 0; i < driveIds.size(); ++i) image.Id(94 + 16 * i, driveIds[i]);
  return {name,
          [=](auto& facade, auto& controller) {
            const std::vector<Guid> drives(driveIds.begin(), driveIds.end());
            facade.CreateVolume(controller, drives, L"ABCDEFGHIJKLMNOP", vesk_strip_size{0x0010},
                                vesk_raid_level::Raid10, 0x0102030405060708ull, initialize,
                                keepData, vesk_rwh_policy(rwhPolicy), Guid(keepDrive),
                                Guid(journalingDrive));
          },
          image};
}

std::vector<OperationCase> Operations() {
  using S = StorageManagementBase;
  using C = const Controller;
  return {
      // Drives
      {"ActivateDriveLedOn", [](S& s, C& c) { s.ActivateDriveLed(c, kElement, true); },
       Request(49, fn::kActivateDriveLed, kElementId, 1).U8(48, 1)},
      {"ActivateDriveLedOff", [](S& s, C& c) { s.ActivateDriveLed(c, kElement, false); },
       Request(49, fn::kActivateDriveLed, kElementId, 1)},
      // A 1.0 controller works at API version 0: the record handed to the native call must say so,
      // for the request to go out in its legacy form (version 0, no enable flag).
      {"ActivateDriveLedOnALegacyController",
       [](S& s, C& c) { s.ActivateDriveLed(c, kElement, true); },
       Request(49, fn::kActivateDriveLed, kElementId, 0), false, 1},
      Targeted("ClearDriveMetadata", &S::ClearDriveMetadata, fn::kClearDriveMetadata),
      Targeted("DisableWriteCacheOnDrive", &S::DisableWriteCacheOnDrive, fn::kSetVolatileWriteCache,
               0x00),
      Targeted("EnableWriteCacheOnDrive", &S::EnableWriteCacheOnDrive, fn::kSetVolatileWriteCache,
               0x80),
      {"SetWriteCacheOnDriveOn", [](S& s, C& c) { s.SetWriteCacheOnDrive(c, kElement, true); },
       Request(49, fn::kSetVolatileWriteCache, kElementId).U8(48, 0x80)},
      {"SetWriteCacheOnDriveOff", [](S& s, C& c) { s.SetWriteCacheOnDrive(c, kElement, false); },
       Request(49, fn::kSetVolatileWriteCache, kElementId)},
      Targeted("MarkDriveAsNormal", &S::MarkDriveAsNormal, fn::kMarkDriveAsNormal),
      Targeted("MarkDriveAsSpare", &S::MarkDriveAsSpare, fn::kMarkAsSpare),
      Targeted("UnmarkSpareDrive", &S::UnmarkSpareDrive, fn::kUnmarkSpare),
      Targeted("RemoveDrive", &S::RemoveDrive, fn::kRemoveDrive),
      Targeted("ResetSmartEvent", &S::ResetSmartEvent, fn::kResetSmartEvent),
      // Arrays; the drives keep their order and duplicates.
      {"AddDrivesToArray",
       [](S& s, C& c) {
         const Guid drives[] = {kDrive[2], kDrive[0], kDrive[0]};
         s.AddDrivesToArray(c, kElement, drives);
       },
       Request(98, fn::kAddDrivesToArray, kElementId)
           .U16(48, 3)
           .Id(50, kDriveIds[2])
           .Id(66, kDriveIds[0])
           .Id(82, kDriveIds[0])},
      {"SetArrayCachePolicyOn", [](S& s, C& c) { s.SetArrayCachePolicy(c, kElement, true); },
       Request(49, fn::kSetArrayCachePolicy, kElementId).U8(48, 0x80)},
      {"SetArrayCachePolicyOff", [](S& s, C& c) { s.SetArrayCachePolicy(c, kElement, false); },
       Request(49, fn::kSetArrayCachePolicy, kElementId)},
      // Volumes. CreateVolume: each flag on its own, and the drives it names.
      Create("CreateVolumeWithoutFlags", false, false, 0, 0x00),
      Create("CreateVolumeInitialize", true, false, 0, 0x04),
      Create("CreateVolumeKeepExistingData", false, true, 0, 0x08),
      Create("CreateVolumeWriteHolePolicy1", false, false, 1, 0x10),
      Create("CreateVolumeWriteHolePolicy2", false, false, 2, 0x20),
      Create("CreateVolumeWriteHolePolicy4", false, false, 4, 0x40),
      Create("CreateVolumeWriteHolePolicy8", false, false, 8, 0x80),
      Create("CreateVolumeWithDrives", false, false, 0, 0x00, {kDriveIds[1], kDriveIds[0]},
             kDriveIds[2], kDriveIds[3]),
      Targeted("DeleteVolume", &S::DeleteVolume, fn::kDeleteVolume),
      {"ExpandVolume", [](S& s, C& c) { s.ExpandVolume(c, kElement, 0x1122334455667788ull); },
       Request(56, fn::kExpandVolume, kElementId).U64(48, 0x1122334455667788ull)},
      Targeted("InitializeVolume", &S::InitializeVolume, fn::kInitializeVolume),
      Targeted("InitializeVolumeFromManagedGuid", &S::InitializeVolumeFromManagedGuid,
               fn::kInitializeVolume),
      Targeted("MarkVolumeAsNormal", &S::MarkVolumeAsNormal, fn::kMarkVolumeAsNormal),
      {"RebuildVolume",
       [](S& s, C& c) {
         s.RebuildVolume(c, kElement, {&kDrive[1], 1});
       },
       Request(66, fn::kRebuildVolume, kElementId).U16(48, 1).Id(50, kDriveIds[1])},
      {"RenameVolume", [](S& s, C& c) { s.RenameVolume(c, kElement, L"Renamed"); },
       Request(64, fn::kRenameVolume, kElementId).Text(48, "Renamed")},
      {"ChangeRaidLayout",
       [](S& s, C& c) {
         const Guid drives[] = {kDrive[3], kDrive[1]};
         s.ChangeRaidLayout(c, kElement, vesk_strip_size{0x0020}, vesk_raid_level::Raid5, drives);
       },
       Request(85, fn::kChangeRaidLayout, kElementId)
           .U16(48, 0x0020)
           .U8(50, 4)
           .U16(51, 2)
           .Id(53, kDriveIds[3])
           .Id(69, kDriveIds[1])},
      {"SetVolumeCachePolicy",
       [](S& s, C& c) { s.SetVolumeCachePolicy(c, kElement, vesk_volume_cache_policy{2}); },
       Request(49, fn::kSetVolumeCachePolicy, kElementId).U8(48, 0x20)},
      {"SetVolumeCachePolicyFromManagedGuid",
       [](S& s, C& c) {
         s.SetVolumeCachePolicyFromManagedGuid(c, kElement, vesk_volume_cache_policy{3});
       },
       Request(49, fn::kSetVolumeCachePolicy, kElementId).U8(48, 0x30)},
      {"SetVolumeRaidWriteHolePolicy",
       [](S& s, C& c) {
         s.SetVolumeRaidWriteHolePolicy(c, kElement, vesk_rwh_policy{2}, kDrive[3]);
       },
       Request(65, fn::kSetVolumeRwhPolicy, kElementId).U8(48, 0x20).Id(49, kDriveIds[3])},
      {"SetVolumeRaidWriteHolePolicyWithoutJournalingDrive",
       [](S& s, C& c) {
         s.SetVolumeRaidWriteHolePolicy(c, kElement, vesk_rwh_policy{1}, Guid::Empty());
       },
       Request(65, fn::kSetVolumeRwhPolicy, kElementId).U8(48, 0x10)},
      {"VerifyVolumeAndRepair", [](S& s, C& c) { s.VerifyVolume(c, kElement, true); },
       Request(49, fn::kVerifyVolume, kElementId).U8(48, 1)},
      {"VerifyVolumeOnly", [](S& s, C& c) { s.VerifyVolume(c, kElement, false); },
       Request(49, fn::kVerifyVolume, kElementId)},
      Targeted("CancelVerifyVolume", &S::CancelVerifyVolume, fn::kCancelVerification),
      // Controllers: the target is the controller itself.
      {"SetControllerReadPatrolPolicyOn",
       [](S& s, C& c) { s.SetControllerReadPatrolPolicy(c, true); },
       Request(49, fn::kSetReadPatrolPolicy).U8(48, 0x80), true},
      {"SetControllerReadPatrolPolicyOff",
       [](S& s, C& c) { s.SetControllerReadPatrolPolicy(c, false); },
       Request(49, fn::kSetReadPatrolPolicy), true},
      {"SetControllerRohiPolicyOn", [](S& s, C& c) { s.SetControllerRohiPolicy(c, true); },
       Request(49, fn::kSetRohiPolicy).U8(48, 0x80), true},
      {"SetControllerRohiPolicyOff", [](S& s, C& c) { s.SetControllerRohiPolicy(c, false); },
       Request(49, fn::kSetRohiPolicy), true},
  };
}

class ManagedOperationTest : public ::testing::TestWithParam<OperationCase> {
 protected:
  ManagedOperationTest() { facade.SetAllControllersInfo(); }

  Vesk::testing::SimulatedMachine simulated{"demo", GetParam().specMajor};
  StorageManagementBase facade;
};

TEST_P(ManagedOperationTest, SendsOneRequestToTheDeviceOfTheControllerGiven) {
  // Both controllers: the first by identifier is the last by device identifier, so a lookup
  // that finds the wrong one shows on either.
  const std::tuple<std::uint16_t, vesk_guid, std::wstring> controllers[] = {
      {10274, Vesk::testing::Guid("c0a7a000-0000-4000-8000-000000000001"), L"\\Device\\RaidPort0"},
      {2679, Vesk::testing::Guid("c0d0e100-0000-4000-8000-000000000002"), L"\\Device\\RaidPort1"}};
  for (const auto& [deviceId, controllerId, pdoName] : controllers) {
    SCOPED_TRACE(deviceId);
    simulated.recorder->Clear();
    try {
      GetParam().call(facade, *facade.Controllers()[deviceId]);
    } catch (const NativeVeskException&) {
      // The driver refuses the made-up elements; what was sent is what counts here.
    }
    const auto sent = simulated.recorder->Requests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].pdoName, pdoName);
    auto image = GetParam().expected;
    if (GetParam().targetsController) image.Id(32, controllerId);
    const auto expected = image.bytes;
    EXPECT_EQ(sent[0].bytes, expected) << Vesk::test::DescribeDifference(sent[0].bytes, expected);
  }
  // Once disposed, the operation refuses before it looks for the controller.
  auto controller = facade.Controllers()[2679];
  facade.Dispose();
  testing::ExpectThrows<System::ObjectDisposedException>(
      [&] { GetParam().call(facade, *controller); }, "Cannot access a disposed object.");
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, ManagedOperationTest, ::testing::ValuesIn(Operations()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace VESK_Managed
