// The simulated driver's fault switches, its devices on a simulated machine, and a saved state
// that another driver continues from.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/win32.h"
#include "simulator/Machine.h"
#include "simulator/RaidDriver.h"
#include "tests/simulator/RequestBytes.h"

namespace vesk::sim::test {
namespace {

using Vesk::vesk_invalid_guid;
namespace fn = function;

class Faults : public ::testing::Test {
 protected:
  std::shared_ptr<RaidDriver> driver = LoadDriver("demo.json");

  Bytes Arrays() { return ScopedQuery(fn::kGetArrayInfo, 34 + 53 * 4, 1, kSataController); }
  Bytes Spare(const vesk_guid& drive) { return TargetCommand(fn::kMarkAsSpare, drive); }
  bool IsSpare(const vesk_guid& drive) {
    for (const auto& c : driver->Snapshot().controllers)
      for (const auto& d : c.drives)
        if (d.id == drive) return d.spare;
    return false;
  }
};

// An answer fault fails or answers the request its count of times without carrying it out.
TEST_F(Faults, AnswerFaultsLeaveTheRequestUndone) {
  const struct {
    Fault fault;
    bool ok;
    std::uint32_t code;  // the return code of a call that went through, else its last error
  } cases[] = {
      {{Fault::Kind::Busy, fn::kMarkAsSpare, 0, 2}, false, ERROR_BUSY},
      {{Fault::Kind::Status, fn::kMarkAsSpare, 7}, true, 7},
      {{Fault::Kind::ReturnCode, fn::kMarkAsSpare, 0x10000}, true, 0x10000},
      {{Fault::Kind::DeviceFailure, fn::kMarkAsSpare}, false, ERROR_IO_DEVICE},
      {{Fault::Kind::DeviceFailure, fn::kMarkAsSpare, ERROR_GEN_FAILURE}, false, ERROR_GEN_FAILURE},
  };
  std::size_t sent = 0;
  for (const auto& c : cases) {
    driver->InjectFault(c.fault);
    for (int i = 0; i < c.fault.count; ++i, ++sent) {
      Bytes r = Spare(SataDisk(3));
      IoResult result = Send(*driver, kSataPdo, r);
      EXPECT_EQ(result.ok, c.ok);
      EXPECT_EQ(c.ok ? r.ReturnCode() : result.lastError, c.code);
      EXPECT_FALSE(IsSpare(SataDisk(3)));
    }
  }
  Bytes r = Spare(SataDisk(3));
  ASSERT_TRUE(Send(*driver, kSataPdo, r).ok);
  EXPECT_EQ(r.ReturnCode(), 0u);
  EXPECT_TRUE(IsSpare(SataDisk(3)));
  EXPECT_EQ(driver->RequestCount(fn::kMarkAsSpare), sent + 1);
}

TEST_F(Faults, SwitchesMatchTheirDeviceAndLastUntilCleared) {
  Fault fault{Fault::Kind::Status, fn::kGetArrayInfo, 99, -1};
  fault.pdoName = kDornPdo;
  driver->InjectFault(fault);
  for (int i = 0; i < 3; ++i) {
    Bytes dorn = ScopedQuery(fn::kGetArrayInfo, 300, 0, vesk_invalid_guid);
    ASSERT_TRUE(Send(*driver, kDornPdo, dorn).ok);
    EXPECT_EQ(dorn.ReturnCode(), 99u);
  }
  Bytes sata = Arrays();
  ASSERT_TRUE(Send(*driver, kSataPdo, sata).ok);
  EXPECT_EQ(sata.ReturnCode(), 0u);

  driver->ClearFaults();
  Bytes dorn = ScopedQuery(fn::kGetArrayInfo, 300, 0, vesk_invalid_guid);
  ASSERT_TRUE(Send(*driver, kDornPdo, dorn).ok);
  EXPECT_EQ(dorn.ReturnCode(), 0u);
}

TEST_F(Faults, CountBeyondBufferClaimsOneEntryMoreThanFits) {
  driver->InjectFault({Fault::Kind::CountBeyondBuffer, fn::kGetArrayInfo});
  Bytes arrays = Arrays();
  ASSERT_TRUE(Send(*driver, kSataPdo, arrays).ok);
  EXPECT_EQ(arrays.ReturnCode(), 0u);
  EXPECT_EQ(arrays.U16(32), 5);
  EXPECT_EQ(arrays.IdAt(34), kSataArray);  // the real entry is still there
}

TEST_F(Faults, DescriptorOverrunRunsTheLastMigrationListPastTheEnd) {
  driver->InjectFault({Fault::Kind::DescriptorOverrun, fn::kGetControllerCapabilities});
  Bytes caps = Bytes::Management(343, fn::kGetControllerCapabilities, 1);
  caps.PutId(32, kSataController);
  ASSERT_TRUE(Send(*driver, kSataPdo, caps).ok);
  ASSERT_EQ(caps.U8(32), 4);
  std::size_t at = 33;
  for (int i = 0; i < 3; ++i) at += 12 + 2 * caps.U16(at + 10);
  EXPECT_GT(at + 12 + 2 * caps.U16(at + 10), 343u);

  driver->InjectFault({Fault::Kind::DescriptorOverrun, fn::kGetControllerCapabilities});
  Bytes legacy = Bytes::Management(83, fn::kGetControllerCapabilities, 0);
  legacy.PutId(32, kSataController);
  ASSERT_TRUE(Send(*driver, kSataPdo, legacy).ok);
  EXPECT_GT(33 + 10 * legacy.U8(32), 83);
}

TEST_F(Faults, ZeroIdentifierBlanksTheChosenEntry) {
  driver->InjectFault({Fault::Kind::ZeroIdentifier, fn::kGetDriveIdentifiers, 1});
  Bytes ids = ScopedQuery(fn::kGetDriveIdentifiers, 34 + 16 * 8, 0, vesk_invalid_guid);
  ASSERT_TRUE(Send(*driver, kSataPdo, ids).ok);
  ASSERT_EQ(ids.U16(32), 5);
  EXPECT_EQ(ids.IdAt(34), SataDisk(0));
  EXPECT_EQ(ids.IdAt(50), vesk_invalid_guid);

  driver->InjectFault({Fault::Kind::ZeroIdentifier, fn::kGetControllerIdentifiers, 9});
  Bytes controllers = ScopedQuery(fn::kGetControllerIdentifiers, 4130, 0, vesk_invalid_guid);
  ASSERT_TRUE(Send(*driver, kSataPdo, controllers).ok);
  EXPECT_EQ(controllers.IdAt(34), vesk_invalid_guid);  // past the end: the last entry
}

TEST_F(Faults, DelayHoldsOneRequestWhileOthersGoOn) {
  driver->InjectFault({Fault::Kind::Delay, fn::kGetArrayInfo, 300});
  std::atomic<bool> slowDone{false};
  std::thread slow([&] {
    Bytes r = Arrays();
    EXPECT_TRUE(Send(*driver, kSataPdo, r).ok);
    EXPECT_EQ(r.ReturnCode(), 0u);
    slowDone = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Bytes other = ScopedQuery(fn::kGetVolumeInfo, 300, 0, vesk_invalid_guid);
  ASSERT_TRUE(Send(*driver, kDornPdo, other).ok);
  EXPECT_FALSE(slowDone) << "the other device's request waited for the delayed one";
  slow.join();
}

// Short and garbled requests of every function code are refused or answered within the buffer
// (run under AddressSanitizer, a read or write past it fails the test).
TEST(Robustness, EveryFunctionCodeAtEverySmallLengthStaysInsideTheBuffer) {
  auto driver = LoadDriver("demo.json");
  std::uint32_t seed = 12345;
  auto next = [&] { return static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16); };
  std::vector<std::uint32_t> codes;
  for (std::uint32_t n = 0; n < 12; ++n) codes.push_back(0x44000 + 4 * n);
  for (std::uint32_t n = 0; n < 28; ++n) codes.push_back(0x48000 + 4 * n);
  for (std::uint32_t code : codes) {
    for (std::size_t length = 28; length <= 140; ++length) {
      for (int pattern = 0; pattern < 3; ++pattern) {
        Bytes r = Bytes::Management(std::max<std::size_t>(length, 32), code);
        r.b.resize(length);
        r.Put32(24, static_cast<std::uint32_t>(length - 28));
        for (std::size_t i = 32; i < length; ++i)
          r.b[i] = pattern == 0 ? 0xFF : pattern == 1 ? next() : 0;
        IoResult result = Send(*driver, pattern == 2 ? kDornPdo : kSataPdo, r);
        ASSERT_TRUE(result.ok) << std::hex << code << " " << std::dec << length;
        if (length < 48 && code >= 0x48000) {
          EXPECT_NE(r.ReturnCode(), 0u) << std::hex << code << " " << std::dec << length;
        }
      }
    }
  }
}

// --- On a simulated machine -----------------------------------------------------------------

HANDLE Open(const std::wstring& pdo) {
  std::wstring path = L"\\\\?\\Global\\GlobalRoot" + pdo;
  return CreateFile2(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     OPEN_EXISTING, nullptr);
}

BOOL Call(HANDLE device, Bytes& r) {
  DWORD returned = 0;
  return DeviceIoControl(device, IOCTL_SCSI_MINIPORT, r.b.data(), static_cast<DWORD>(r.b.size()),
                         r.b.data(), static_cast<DWORD>(r.b.size()), &returned, nullptr);
}

TEST(DriverOnMachine, DevicesAnswerAndARemovalFaultTakesTheDeviceAway) {
  Machine machine;
  auto driver = LoadDriver("demo.json");
  std::vector<DeviceId> ids = AddControllerDevices(machine, driver);
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(machine.Backend(ids[1]), driver);

  HANDLE sata = Open(kSataPdo);
  HANDLE dorn = Open(kDornPdo);
  ASSERT_NE(sata, INVALID_HANDLE_VALUE);
  ASSERT_NE(dorn, INVALID_HANDLE_VALUE);
  Bytes info = ScopedQuery(function::kGetControllerInfo, 437, 0, vesk_invalid_guid);
  ASSERT_TRUE(Call(dorn, info));
  EXPECT_EQ(info.IdAt(34), kDornController);

  driver->InjectFault({Fault::Kind::RemoveDevice, function::kGetArrayInfo});
  Bytes arrays = ScopedQuery(function::kGetArrayInfo, 300, 0, vesk_invalid_guid);
  EXPECT_FALSE(Call(dorn, arrays));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  machine.WaitForNotifications();
  Bytes again = ScopedQuery(function::kGetArrayInfo, 300, 0, vesk_invalid_guid);
  EXPECT_FALSE(Call(dorn, again));
  EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
  Bytes other = ScopedQuery(function::kGetArrayInfo, 300, 0, vesk_invalid_guid);
  EXPECT_TRUE(Call(sata, other));
  CloseHandle(sata);
  CloseHandle(dorn);
}

TEST(SavedState, ALaterDriverContinuesTheWorkWhereTheEarlierStopped) {
  std::string saved;
  vesk_guid subscription;
  {
    auto first = LoadDriver("demo.json");
    first->InjectFault({Fault::Kind::Status, function::kGetVolumeInfo, 9, -1});
    Bytes verify = TargetCommand(function::kVerifyVolume, kSystemVolume, 0);
    ASSERT_TRUE(Send(*first, kSataPdo, verify).ok);
    ASSERT_EQ(verify.ReturnCode(), 0u);
    Bytes create = Bytes::Management(50, function::kCreateEventSubscription);
    ASSERT_TRUE(Send(*first, kSataPdo, create).ok);
    subscription = create.IdAt(32);
    first->AdvanceClock(15000);
    saved = first->Save();
  }
  RaidDriver second(LoadTopology(saved));
  EXPECT_EQ(second.ClockMs(), 15000u);
  Bytes record = ScopedQuery(function::kGetVolumeInfo, 147, 3, kSystemVolume);
  ASSERT_TRUE(Send(second, kSataPdo, record).ok);
  ASSERT_EQ(record.ReturnCode(), 0u);  // faults are not part of the saved state
  EXPECT_EQ(record.U8(34 + 49), volume_state::kVerifying);
  EXPECT_EQ(record.U16(34 + 62), 25);
  second.AdvanceClock(45000);
  Bytes done = ScopedQuery(function::kGetVolumeInfo, 147, 3, kSystemVolume);
  ASSERT_TRUE(Send(second, kSataPdo, done).ok);
  EXPECT_EQ(done.U8(34 + 49), volume_state::kNormal);
  // New identifiers do not repeat those handed out before the save.
  Bytes again = Bytes::Management(50, function::kCreateEventSubscription);
  ASSERT_TRUE(Send(second, kSataPdo, again).ok);
  EXPECT_NE(again.IdAt(32), subscription);
}

}  // namespace
}  // namespace vesk::sim::test
