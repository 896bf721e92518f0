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

TEST_F(Faults, BusyFailsTheCallTheGivenNumberOfTimes) {
  driver->InjectFault({Fault::Kind::Busy, fn::kMarkAsSpare, 0, 2});
  for (int i = 0; i < 2; ++i) {
    Bytes r = Spare(SataDisk(3));
    IoResult result = Send(*driver, kSataPdo, r);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.lastError, ERROR_BUSY);
    EXPECT_FALSE(IsSpare(SataDisk(3)));
  }
  Bytes r = Spare(SataDisk(3));
  ASSERT_TRUE(Send(*driver, kSataPdo, r).ok);
  EXPECT_EQ(r.ReturnCode(), 0u);
  EXPECT_TRUE(IsSpare(SataDisk(3)));
  EXPECT_EQ(driver->RequestCount(fn::kMarkAsSpare), 3u);
}

TEST_F(Faults, StatusAndReturnCodeAnswerWithoutCarryingOut) {
  driver->InjectFault({Fault::Kind::Status, fn::kMarkAsSpare, 7});
  Bytes r = Spare(SataDisk(3));
  ASSERT_TRUE(Send(*driver, kSataPdo, r).ok);
  EXPECT_EQ(r.ReturnCode(), 7u);
  EXPECT_FALSE(IsSpare(SataDisk(3)));

  driver->InjectFault({Fault::Kind::ReturnCode, fn::kMarkAsSpare, 0x10000});
  Bytes big = Spare(SataDisk(3));
  ASSERT_TRUE(Send(*driver, kSataPdo, big).ok);
  EXPECT_EQ(big.ReturnCode(), 0x10000u);
  EXPECT_FALSE(IsSpare(SataDisk(3)));

  driver->InjectFault({Fault::Kind::Status, fn::kGetDriveInfo, 264});
  Bytes drive = ScopedQuery(fn::kGetDriveInfo, 292, 4, SataDisk(3));
  ASSERT_TRUE(Send(*driver, kSataPdo, drive).ok);
  EXPECT_EQ(drive.ReturnCode(), 264u);
  EXPECT_EQ(drive.U16(32), 4);  // the request bytes stay as they were: nothing was answered
}

TEST_F(Faults, DeviceFailureWithDefaultAndGivenError) {
  driver->InjectFault({Fault::Kind::DeviceFailure, fn::kGetArrayInfo});
  driver->InjectFault({Fault::Kind::DeviceFailure, fn::kGetArrayInfo, ERROR_GEN_FAILURE});
  Bytes first = Arrays(), second = Arrays(), third = Arrays();
  IoResult r1 = Send(*driver, kSataPdo, first);
  IoResult r2 = Send(*driver, kSataPdo, second);
  EXPECT_FALSE(r1.ok);
  EXPECT_EQ(r1.lastError, ERROR_IO_DEVICE);
  EXPECT_FALSE(r2.ok);
  EXPECT_EQ(r2.lastError, ERROR_GEN_FAILURE);
  EXPECT_TRUE(Send(*driver, kSataPdo, third).ok);
}

TEST_F(Faults, SwitchesMatchTheirDeviceAndSignatureAndLastUntilCleared) {
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

  // 0x44000 is also the out-of-band receive code; the switch is for management requests.
  driver->InjectFault({Fault::Kind::DeviceFailure, fn::kGetControllerInfo});
  Bytes receive = Bytes::OutOfBand(96, fn::kOobReceiveData);
  EXPECT_TRUE(Send(*driver, kSataPdo, receive).ok);
  Fault oob{Fault::Kind::DeviceFailure, fn::kOobReceiveData};
  oob.outOfBand = true;
  driver->InjectFault(oob);
  EXPECT_FALSE(Send(*driver, kSataPdo, receive).ok);

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

  driver->InjectFault({Fault::Kind::CountBeyondBuffer, fn::kGetDriveIdentifiers});
  Bytes ids = ScopedQuery(fn::kGetDriveIdentifiers, 34 + 16 * 8, 0, vesk_invalid_guid);
  ASSERT_TRUE(Send(*driver, kSataPdo, ids).ok);
  EXPECT_EQ(ids.U16(32), 9);

  driver->InjectFault({Fault::Kind::CountBeyondBuffer, fn::kGetControllerCapabilities});
  Bytes caps = Bytes::Management(343, fn::kGetControllerCapabilities, 1);
  caps.PutId(32, kSataController);
  ASSERT_TRUE(Send(*driver, kSataPdo, caps).ok);
  EXPECT_EQ(caps.U8(32), 6);
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
  const auto start = std::chrono::steady_clock::now();
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
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(Faults, RemoveDeviceCallsTheHandlerAndFailsTheCall) {
  std::vector<std::wstring> removed;
  driver->SetRemovalHandler([&](const std::wstring& pdo) { removed.push_back(pdo); });
  driver->InjectFault({Fault::Kind::RemoveDevice, fn::kGetDriveInfo});
  Bytes r = ScopedQuery(fn::kGetDriveInfo, 292, 4, Nvme(0));
  IoResult result = Send(*driver, kDornPdo, r);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.lastError, ERROR_DEVICE_NOT_CONNECTED);
  ASSERT_EQ(removed.size(), 1u);
  EXPECT_EQ(removed[0], kDornPdo);
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
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  Bytes other = ScopedQuery(function::kGetArrayInfo, 300, 0, vesk_invalid_guid);
  EXPECT_TRUE(Call(sata, other));
  CloseHandle(sata);
  CloseHandle(dorn);
}

TEST(SavedState, ALaterDriverContinuesTheWorkWhereTheEarlierStopped) {
  std::string saved;
  {
    auto first = LoadDriver("demo.json");
    first->InjectFault({Fault::Kind::Status, function::kGetVolumeInfo, 9, -1});
    Bytes verify = TargetCommand(function::kVerifyVolume, kSystemVolume, 0);
    ASSERT_TRUE(Send(*first, kSataPdo, verify).ok);
    ASSERT_EQ(verify.ReturnCode(), 0u);
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
}

TEST(SavedState, NewIdentifiersDoNotRepeatAfterALoad) {
  auto first = LoadDriver("demo.json");
  Bytes create = Bytes::Management(50, function::kCreateEventSubscription);
  ASSERT_TRUE(Send(*first, kSataPdo, create).ok);
  vesk_guid one = create.IdAt(32);
  RaidDriver second(LoadTopology(first->Save()));
  Bytes again = Bytes::Management(50, function::kCreateEventSubscription);
  ASSERT_TRUE(Send(second, kSataPdo, again).ok);
  EXPECT_NE(again.IdAt(32), one);
}

}  // namespace
}  // namespace vesk::sim::test
