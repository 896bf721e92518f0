// The simulated driver's answers to queries, byte for byte, in each specification version.
#include <gtest/gtest.h>

#include "simulator/RaidDriver.h"
#include "tests/simulator/RequestBytes.h"

namespace vesk::sim::test {
namespace {

using Vesk::vesk_invalid_guid;
namespace fn = function;

class DemoQueries : public ::testing::Test {
 protected:
  std::shared_ptr<RaidDriver> driver = LoadDriver("demo.json");
  std::shared_ptr<RaidDriver> legacy = LoadDriver("legacy.json");

  // The answer of `on` (the demo driver unless given), which must take the call.
  Bytes Query(const std::wstring& pdo, Bytes request, RaidDriver* on = nullptr) {
    IoResult result = Send(on ? *on : *driver, pdo, request);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytesReturned, request.b.size());
    return request;
  }
};

TEST_F(DemoQueries, ExecutorInformationCarriesTheSpecificationVersion) {
  Bytes answer = Query(kSataPdo, Bytes::Management(72, fn::kGetExecutorInformation));
  EXPECT_EQ(answer.ReturnCode(), 0u);
  EXPECT_EQ(answer.U16(32), 4);
  EXPECT_EQ(answer.U16(34), 0);
  EXPECT_EQ(answer.U16(36), 19);  // driver version 19.5.1.1040 follows
  EXPECT_EQ(answer.U16(42), 1040);

  Bytes old = Query(kSataPdo, Bytes::Management(72, fn::kGetExecutorInformation), legacy.get());
  EXPECT_EQ(old.U16(32), 1);
  EXPECT_EQ(old.U16(34), 0);
}

TEST_F(DemoQueries, ControllerIdentifiersOwnForDiskServicesAllQueuedForTaluServices) {
  Bytes sata =
      Query(kSataPdo, ScopedQuery(fn::kGetControllerIdentifiers, 4130, 0, vesk_invalid_guid));
  EXPECT_EQ(sata.U16(32), 1);
  EXPECT_EQ(sata.IdAt(34), kSataController);

  // Three zrTalu controllers behind one driver: every device reports all three, in order.
  driver->Edit([](Topology& t) {
    Controller second = t.controllers[1], third = t.controllers[1];
    second.id = Id("c0d0e100-0000-4000-8000-000000000003");
    second.pdoName = L"\\Device\\RaidPort2";
    second.arrays.clear(), second.volumes.clear(), second.drives.clear();
    third = second;
    third.id = Id("c0d0e100-0000-4000-8000-000000000004");
    third.pdoName = L"\\Device\\RaidPort3";
    third.service = L"zrTaluP";
    t.controllers.push_back(second);
    t.controllers.push_back(third);
  });
  Bytes talu = Query(L"\\Device\\RaidPort3",
                     ScopedQuery(fn::kGetControllerIdentifiers, 4130, 0, vesk_invalid_guid));
  ASSERT_EQ(talu.U16(32), 3);
  EXPECT_EQ(talu.IdAt(34), kDornController);
  EXPECT_EQ(talu.IdAt(50), Id("c0d0e100-0000-4000-8000-000000000003"));
  EXPECT_EQ(talu.IdAt(66), Id("c0d0e100-0000-4000-8000-000000000004"));
}

TEST_F(DemoQueries, ControllerInformationCurrentLayout) {
  Bytes a = Query(kSataPdo, ScopedQuery(fn::kGetControllerInfo, 437, 1, kSataController));
  ASSERT_EQ(a.ReturnCode(), 0u);
  const std::size_t r = 34;
  EXPECT_EQ(a.U16(32), 1);
  EXPECT_EQ(a.IdAt(r), kSataController);
  EXPECT_EQ(a.Text(r + 16, 256), "Korva SATA RAID Controller");
  EXPECT_EQ(a.U16(r + 272), 0x1D6A);
  EXPECT_EQ(a.U16(r + 274), 0x2822);
  EXPECT_EQ(a.U16(r + 276), 0x7A30);
  EXPECT_EQ(a.U8(r + 278), 3);
  EXPECT_EQ(a.U8(r + 279) & 0x80, 0x80);  // pre-OS driver loaded
  EXPECT_EQ(a.U16(r + 280), 19);
  EXPECT_EQ(a.U16(r + 286), 1040);
  EXPECT_EQ(a.U16(r + 294), 1037);
  EXPECT_EQ(a.U16(r + 296), 2);  // maxVolumesPerArray
  EXPECT_EQ(a.U16(r + 298), 4);  // maxVolumesPerController
  EXPECT_EQ(a.U16(r + 300), 8);  // maxDrivesPerController
  EXPECT_EQ(a.U8(r + 302), 0);
  EXPECT_EQ(a.U8(r + 303), 0);       // SATA
  EXPECT_EQ(a.U8(r + 304), 2 << 5);  // mode in bits 5-7

  Bytes dorn = Query(kDornPdo, ScopedQuery(fn::kGetControllerInfo, 437, 0, vesk_invalid_guid));
  EXPECT_EQ(dorn.IdAt(r), kDornController);
  EXPECT_EQ(dorn.U8(r + 303), 2);
  EXPECT_EQ(dorn.U8(r + 304), 0);
}

TEST_F(DemoQueries, OlderDriverWritesItsShorterControllerRecord) {
  Bytes exact = Query(kSataPdo, ScopedQuery(fn::kGetControllerInfo, 369, 1, kSataController, 0),
                      legacy.get());
  EXPECT_EQ(exact.ReturnCode(), 0u);
  EXPECT_EQ(exact.U16(34 + 300), 6);

  // Asked for the 4.0 form, a 1.0 driver still writes 335 bytes: nothing after offset 369.
  Bytes wide = ScopedQuery(fn::kGetControllerInfo, 437, 1, kSataController, 3);
  std::fill(wide.b.begin() + 49, wide.b.end(), 0xEE);
  wide = Query(kSataPdo, wide, legacy.get());
  EXPECT_EQ(wide.ReturnCode(), 0u);
  for (std::size_t i = 369; i < 437; ++i) ASSERT_EQ(wide.U8(i), 0) << i;

  EXPECT_EQ(
      Query(kSataPdo, ScopedQuery(fn::kGetControllerInfo, 368, 1, kSataController, 0), legacy.get())
          .ReturnCode(),
      4u);
}

TEST_F(DemoQueries, CapabilitiesCurrentFormCarriesMigrationLists) {
  Bytes request = Bytes::Management(343, fn::kGetControllerCapabilities, 1);
  request.PutId(32, kSataController);
  Bytes a = Query(kSataPdo, request);
  ASSERT_EQ(a.ReturnCode(), 0u);
  EXPECT_EQ(a.U8(32), 4);
  // RAID 0: 2..6 drives, odd and even, default strip 128, strips 4..128, two migrations.
  EXPECT_EQ(a.U8(33), 1);
  EXPECT_EQ(a.U16(34), 2);
  EXPECT_EQ(a.U16(36), 6);
  EXPECT_EQ(a.U8(38), 0xC0);
  EXPECT_EQ(a.U16(39), 128);
  EXPECT_EQ(a.U16(41), 4 | 8 | 16 | 32 | 64 | 128);
  EXPECT_EQ(a.U16(43), 2);
  EXPECT_EQ(a.U8(45), 1);
  EXPECT_EQ(a.U8(46), 1);
  EXPECT_EQ(a.U8(47), 4);
  EXPECT_EQ(a.U8(48), 1);
  // RAID 1 follows right after the migration list.
  EXPECT_EQ(a.U8(49), 2);
  EXPECT_EQ(a.U16(50), 2);
  EXPECT_EQ(a.U16(52), 2);
  // RAID 10 allows even counts only.
  std::size_t raid10 = 49 + 12 + 2 * 2;
  EXPECT_EQ(a.U8(raid10), 3);
  EXPECT_EQ(a.U8(raid10 + 5), 0x80);
}

TEST_F(DemoQueries, CapabilitiesLegacyFormHasFixedDescriptors) {
  Bytes request = Bytes::Management(83, fn::kGetControllerCapabilities, 0);
  request.PutId(32, kSataController);
  Bytes a = Query(kSataPdo, request);
  ASSERT_EQ(a.ReturnCode(), 0u);
  EXPECT_EQ(a.U8(32), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a.U8(33 + 10 * i), i + 1);
  EXPECT_EQ(a.U16(33 + 10 * 3 + 6), 64);  // RAID 5 default strip

  // A 1.0 driver answers the current request in the legacy form too.
  request = Bytes::Management(343, fn::kGetControllerCapabilities, 1);
  request.PutId(32, kSataController);
  EXPECT_EQ(Query(kSataPdo, request, legacy.get()).U8(33 + 10), 2);

  request.PutId(32, kSystemVolume);
  EXPECT_EQ(Query(kSataPdo, request).ReturnCode(), 260u);
}

TEST_F(DemoQueries, ArrayRecordsCarrySizesAndCachePolicy) {
  Bytes a = Query(kDornPdo, ScopedQuery(fn::kGetArrayInfo, 34 + 53 * 8, 1, kDornController));
  ASSERT_EQ(a.ReturnCode(), 0u);
  ASSERT_EQ(a.U16(32), 1);
  EXPECT_EQ(a.IdAt(34), kDornArray);
  EXPECT_EQ(a.Text(34 + 16, 20), "Array_0000");
  const std::uint64_t drive = 3907029168ull * 512;
  EXPECT_EQ(a.U64(34 + 36), 4 * drive);
  // RAID 5 of 3 TiB takes 4/3 of its size, RAID 0 of 1 TiB its size.
  EXPECT_EQ(a.U64(34 + 44), 4 * drive - 4398046511104ull - 1099511627776ull);
  EXPECT_EQ(a.U8(34 + 52), 0x80);

  Bytes single = Query(kDornPdo, ScopedQuery(fn::kGetArrayInfo, 102, 2, kDornArray));
  EXPECT_EQ(single.U16(32), 1);
  EXPECT_EQ(Query(kDornPdo, ScopedQuery(fn::kGetArrayInfo, 102, 2, kSataController)).ReturnCode(),
            261u);
}

TEST_F(DemoQueries, VolumeRecordsAreNinetyEightBytesFromSpecification3) {
  Bytes a = Query(kDornPdo, ScopedQuery(fn::kGetVolumeInfo, 34 + 98 * 8, 1, kDornController, 3));
  ASSERT_EQ(a.U16(32), 2);
  const std::size_t r = 34, s = 34 + 98;
  EXPECT_EQ(a.IdAt(r), kDataVolume);
  EXPECT_EQ(a.IdAt(r + 16), kDornArray);
  EXPECT_EQ(a.U8(r + 32), 0);
  EXPECT_EQ(a.Text(r + 33, 16), "Data");
  EXPECT_EQ(a.U8(r + 49), 0);
  EXPECT_EQ(a.U8(r + 50), 4);
  EXPECT_EQ(a.U64(r + 51), 3298534883328ull);
  EXPECT_EQ(a.U16(r + 59), 64);
  EXPECT_EQ(a.U8(r + 61), 4);
  EXPECT_EQ(a.U16(r + 62), 0);
  EXPECT_EQ(a.U8(r + 64), 0x80);  // initialized
  EXPECT_EQ(a.U32(r + 73), 512u);
  EXPECT_EQ(a.U8(r + 77), 0x31);  // cache policy 3, write-hole policy 1
  EXPECT_EQ(a.IdAt(s), kScratchVolume);
  EXPECT_EQ(a.U8(s + 32), 1);  // second volume of the array
  EXPECT_EQ(a.U8(s + 50), 1);

  Bytes system = Query(kSataPdo, ScopedQuery(fn::kGetVolumeInfo, 147, 3, kSystemVolume));
  EXPECT_EQ(system.U8(34 + 64), 0xA0);  // system volume, initialized
}

TEST_F(DemoQueries, VolumeRecordsOfSpecifications1And2AreNinetyFourBytes) {
  Bytes a = Query(kDornPdo, ScopedQuery(fn::kGetVolumeInfo, 34 + 94 * 8, 1, kDornController, 1));
  ASSERT_EQ(a.ReturnCode(), 0u);
  ASSERT_EQ(a.U16(32), 2);
  EXPECT_EQ(a.IdAt(34 + 94), kScratchVolume);
  EXPECT_EQ(a.Text(34 + 94 + 33, 16), "Scratch");
}

TEST_F(DemoQueries, DriveRecordsCurrentLayout) {
  Bytes a = Query(kSataPdo, ScopedQuery(fn::kGetDriveInfo, 131072, 1, kSataController, 3));
  ASSERT_EQ(a.ReturnCode(), 0u);
  ASSERT_EQ(a.U16(32), 5);
  auto at = [](int i) { return 34 + 258 * static_cast<std::size_t>(i); };
  EXPECT_EQ(a.IdAt(at(0)), SataDisk(0));
  EXPECT_EQ(a.IdAt(at(0) + 16), kSataArray);
  EXPECT_EQ(a.Text(at(0) + 48, 20), "KS1A00000001");
  EXPECT_EQ(a.Text(at(0) + 68, 40), "Korva KS1000 1TB");
  EXPECT_EQ(a.Text(at(0) + 108, 8), "KS10R2");
  EXPECT_EQ(a.U64(at(0) + 116), 1953525168ull);
  EXPECT_EQ(a.U32(at(0) + 124), 512u);
  EXPECT_EQ(a.U32(at(0) + 128), 4096u);
  EXPECT_EQ(a.U8(at(0) + 132), 0);
  EXPECT_EQ(a.U8(at(0) + 133), drive_usage::kArrayMember);
  EXPECT_EQ(a.U8(at(0) + 134), 0xF4);  // system, LED support, pre-boot, write cache, partition
  EXPECT_EQ(a.U8(at(0) + 137), 1);
  EXPECT_EQ(a.U8(at(0) + 138), 0);     // port
  EXPECT_EQ(a.U8(at(0) + 139), 0x83);  // NCQ, link rate 3
  EXPECT_EQ(a.U8(at(1) + 135), 1);     // second member of its array
  EXPECT_EQ(a.U8(at(2) + 133), drive_usage::kSpare);
  EXPECT_EQ(a.IdAt(at(2) + 16), vesk_invalid_guid);
  EXPECT_EQ(a.U8(at(3) + 139), 0xC3);  // SSD as well
  EXPECT_EQ(a.U8(at(4) + 137), 0);     // optical
  EXPECT_EQ(a.U8(at(4) + 138), 5);
  EXPECT_EQ(a.U8(at(4) + 134), 0x20);

  Bytes n = Query(kDornPdo, ScopedQuery(fn::kGetDriveInfo, 292, 4, Nvme(5), 3));
  ASSERT_EQ(n.U16(32), 1);
  EXPECT_EQ(n.U8(34 + 137), 3);
  EXPECT_EQ(n.U16(34 + 138), 0x1D6A);
  EXPECT_EQ(n.U16(34 + 149), 0);    // socket
  EXPECT_EQ(n.U16(34 + 151), 1);    // Dorn controller
  EXPECT_EQ(n.U16(34 + 153), 1);    // root port
  EXPECT_EQ(n.U64(34 + 155), 15u);  // slot
  EXPECT_EQ(n.U8(34 + 163), 4);
  EXPECT_EQ(n.U8(34 + 164), 4);
  EXPECT_EQ(n.IdAt(34 + 32), vesk_invalid_guid);
}

TEST_F(DemoQueries, DriveRecordsOfSpecification3PackTheLinkAndNameTheController) {
  Bytes a = Query(kDornPdo, ScopedQuery(fn::kGetDriveInfo, 241, 4, Nvme(0), 2));
  ASSERT_EQ(a.ReturnCode(), 0u);
  EXPECT_EQ(a.IdAt(34 + 32), kDornController);
  EXPECT_EQ(a.U8(34 + 137), 3);
  EXPECT_EQ(a.U16(34 + 149), 0);
  EXPECT_EQ(a.U64(34 + 155), 10u);
  EXPECT_EQ(a.U8(34 + 163), 4 | (4 << 3));
  EXPECT_EQ(a.U8(34 + 164), 4 | (4 << 3));

  EXPECT_EQ(Query(kDornPdo, ScopedQuery(fn::kGetDriveInfo, 240, 4, Nvme(0), 2)).ReturnCode(), 4u);
}

TEST_F(DemoQueries, DriveRecordsOfSpecification1ShiftTheTypeAndShortenNvme) {
  Bytes sata =
      Query(kSataPdo, ScopedQuery(fn::kGetDriveInfo, 131072, 1, kSataController, 0), legacy.get());
  ASSERT_EQ(sata.U16(32), 4);
  EXPECT_EQ(sata.U8(34 + 134), 0x70);     // bits 4-7 only
  EXPECT_EQ(sata.U8(34 + 135), 1);        // type
  EXPECT_EQ(sata.U8(34 + 167 + 136), 1);  // port of the second drive
  EXPECT_EQ(sata.U8(34 + 167 + 137), 0x83);

  Bytes nvme = Query(kDornPdo, ScopedQuery(fn::kGetDriveInfo, 201, 4, Nvme(1), 0), legacy.get());
  ASSERT_EQ(nvme.ReturnCode(), 0u);
  EXPECT_EQ(nvme.U8(34 + 135), 2);  // the old NVMe type
  EXPECT_EQ(nvme.U16(34 + 136), 0x1D6A);
  EXPECT_EQ(nvme.U8(34 + 147), 4 | (4 << 3));
  EXPECT_EQ(nvme.IdAt(34 + 32), Id("c0d0e100-0000-4000-8000-0000000000a2"));
}

TEST_F(DemoQueries, MoreDrivesThanTheAnswerHoldsGiveStatus4AndTheSingleQueriesStillWork) {
  auto large = LoadDriver("large.json");
  const auto controller = Id("c0d0e100-0000-4000-8000-0000000000b1");
  Bytes all =
      Query(kSataPdo, ScopedQuery(fn::kGetDriveInfo, 131072, 1, controller, 3), large.get());
  EXPECT_EQ(all.ReturnCode(), 4u);
  EXPECT_EQ(all.U16(32), 600);  // the count goes out so that a caller can size its buffer

  Bytes ids =
      Query(kSataPdo, ScopedQuery(fn::kGetDriveIdentifiers, 34 + 16 * 1024, 0, vesk_invalid_guid),
            large.get());
  ASSERT_EQ(ids.U16(32), 600);
  EXPECT_EQ(ids.IdAt(34 + 16 * 599), Id("d0e1a000-0000-4000-8000-000000000257"));

  Bytes one = Query(kSataPdo, ScopedQuery(fn::kGetDriveInfo, 292, 4, ids.IdAt(34 + 16 * 599), 3),
                    large.get());
  EXPECT_EQ(one.ReturnCode(), 0u);
  EXPECT_EQ(one.Text(34 + 48, 20), "KN2KL599");

  // A 1.0 layout would fit 784 records; at 4.0 the 507th is the last that fits.
  large->Edit([](Topology& t) { t.controllers[0].drives.resize(507); });
  EXPECT_EQ(Query(kSataPdo, ScopedQuery(fn::kGetDriveInfo, 131072, 1, controller, 3), large.get())
                .ReturnCode(),
            0u);
}

TEST_F(DemoQueries, GoneDriveAnswers264) {
  Bytes a = Query(
      kSataPdo, ScopedQuery(fn::kGetDriveInfo, 292, 4, Id("5a7a0000-0000-4000-8000-0000000000ee")));
  EXPECT_EQ(a.ReturnCode(), 264u);
}

TEST_F(DemoQueries, ScopeAndFramingErrors) {
  auto status = [&](Bytes r) { return Query(kSataPdo, std::move(r)).ReturnCode(); };
  EXPECT_EQ(status(ScopedQuery(fn::kGetArrayInfo, 300, 0x09, kSataController)),
            3u);  // reserved bits
  EXPECT_EQ(status(ScopedQuery(fn::kGetArrayInfo, 300, 0, kSataController)),
            3u);  // id without scope
  EXPECT_EQ(status(ScopedQuery(fn::kGetDriveInfo, 300, 3, kSystemVolume)), 3u);
  EXPECT_EQ(status(ScopedQuery(fn::kGetArrayInfo, 300, 1, kSataArray)), 260u);
  EXPECT_EQ(status(ScopedQuery(fn::kGetVolumeInfo, 300, 3, kSataArray)), 262u);
  EXPECT_EQ(status(ScopedQuery(fn::kGetArrayInfo, 300, 1, kSataController, 4)), 2u);
  EXPECT_EQ(status(ScopedQuery(0x4401C, 300, 1, kSataController)), 1u);  // query 7 is not served
  Bytes shortRecord = Bytes::Management(48, fn::kGetArrayInfo);
  shortRecord.Put8(32, 0);
  EXPECT_EQ(status(shortRecord), 1u);
  EXPECT_EQ(status(ScopedQuery(fn::kGetArrayInfo, 49, 1, kSataController)), 4u);

  EXPECT_EQ(Query(L"\\Device\\Elsewhere", ScopedQuery(fn::kGetArrayInfo, 300, 1, kSataController))
                .ReturnCode(),
            260u);

  Bytes signature = ScopedQuery(fn::kGetArrayInfo, 300, 1, kSataController);
  signature.PutText(4, "TALUmgmt");
  EXPECT_EQ(status(signature), 1u);
}

TEST_F(DemoQueries, BrokenHeadersFailTheDeviceCall) {
  // The last error of a failed call, 0 for a call that went through.
  auto failure = [&](std::size_t at, std::uint32_t value, DWORD code = IOCTL_SCSI_MINIPORT) {
    Bytes r = ScopedQuery(fn::kGetArrayInfo, 300, 1, kSataController);
    r.Put32(at, value);
    IoControl call{kSataPdo, code, r.b.data(), 300, r.b.data(), 300};
    IoResult result = driver->Control(call);
    return result.ok ? DWORD{0} : result.lastError;
  };
  EXPECT_EQ(failure(0, 24), ERROR_INVALID_PARAMETER);    // header length
  EXPECT_EQ(failure(24, 273), ERROR_INVALID_PARAMETER);  // length beyond the buffer
  EXPECT_EQ(failure(0, 28, 0x4D004), ERROR_INVALID_FUNCTION);
}

TEST_F(DemoQueries, ShorterLengthFieldLimitsTheAnswer) {
  // The driver answers within 28 + length, whatever the buffer size.
  Bytes r = ScopedQuery(fn::kGetArrayInfo, 300, 1, kSataController);
  r.Put32(24, 49 - 28);
  ASSERT_TRUE(Send(*driver, kSataPdo, r).ok);
  EXPECT_EQ(r.ReturnCode(), 4u);
}

}  // namespace
}  // namespace vesk::sim::test
