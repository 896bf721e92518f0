// What the simulated driver's answers hold beyond what a refresh through the library compares
// with its model: the layout an older driver falls back to, sizes and limits, scopes, refusals.
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

// A device of a queued service (zrTalu, zrTaluP) reports every controller of those services, in
// order; a device of a disk service its own only.
TEST_F(DemoQueries, QueuedServicesReportEveryControllerOfThoseServices) {
  const vesk_guid third = Id("c0d0e100-0000-4000-8000-000000000003");
  driver->Edit([&](Topology& t) {
    t.controllers.push_back({});
    t.controllers.back().id = third;
    t.controllers.back().pdoName = L"\\Device\\RaidPort2";
    t.controllers.back().service = L"zrTaluP";
  });
  auto identifiers = [&](const std::wstring& pdo) {
    return Query(pdo, ScopedQuery(fn::kGetControllerIdentifiers, 4130, 0, vesk_invalid_guid));
  };
  Bytes talu = identifiers(kDornPdo);
  ASSERT_EQ(talu.U16(32), 2);
  EXPECT_EQ(talu.IdAt(34), kDornController);
  EXPECT_EQ(talu.IdAt(50), third);
  EXPECT_EQ(identifiers(kSataPdo).U16(32), 1);
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

TEST_F(DemoQueries, ALegacyDriverAnswersCapabilitiesInTheLegacyForm) {
  Bytes request = Bytes::Management(343, fn::kGetControllerCapabilities, 1);
  request.PutId(32, kSataController);
  Bytes a = Query(kSataPdo, request, legacy.get());
  EXPECT_EQ(a.U8(32), 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(a.U8(33 + 10 * i), i + 1);

  request.PutId(32, kSystemVolume);
  EXPECT_EQ(Query(kSataPdo, request).ReturnCode(), 260u);
}

TEST_F(DemoQueries, ArrayRecordsCarrySizesAndCachePolicy) {
  Bytes a = Query(kDornPdo, ScopedQuery(fn::kGetArrayInfo, 34 + 53 * 8, 1, kDornController));
  ASSERT_EQ(a.U16(32), 1);
  const std::uint64_t drive = 3907029168ull * 512;
  // RAID 5 of 3 TiB takes 4/3 of its size, RAID 0 of 1 TiB its size.
  EXPECT_EQ(a.U64(34 + 44), 4 * drive - 4398046511104ull - 1099511627776ull);

  Bytes single = Query(kDornPdo, ScopedQuery(fn::kGetArrayInfo, 102, 2, kDornArray));
  EXPECT_EQ(single.U16(32), 1);
  EXPECT_EQ(Query(kDornPdo, ScopedQuery(fn::kGetArrayInfo, 102, 2, kSataController)).ReturnCode(),
            261u);
}

TEST_F(DemoQueries, DriveRecordsCurrentLayout) {
  Bytes a = Query(kSataPdo, ScopedQuery(fn::kGetDriveInfo, 131072, 1, kSataController, 3));
  ASSERT_EQ(a.U16(32), 5);
  auto at = [](int i) { return 34 + 258 * static_cast<std::size_t>(i); };
  EXPECT_EQ(a.Text(at(0) + 108, 8), "KS10R2");
  EXPECT_EQ(a.U32(at(0) + 128), 4096u);
  EXPECT_EQ(a.U8(at(0) + 134), 0xF4);  // system, LED support, pre-boot, write cache, partition
  EXPECT_EQ(a.U8(at(0) + 139), 0x83);  // NCQ, link rate 3
  EXPECT_EQ(a.U8(at(1) + 135), 1);     // second member of its array
  EXPECT_EQ(a.U8(at(3) + 139), 0xC3);  // SSD as well
  EXPECT_EQ(a.U8(at(4) + 134), 0x20);  // optical

  Bytes n = Query(kDornPdo, ScopedQuery(fn::kGetDriveInfo, 292, 4, Nvme(5), 3));
  EXPECT_EQ(n.U16(34 + 151), 1);  // Dorn controller
  // A 3.0 record packs the link into one byte each and needs its whole 207 bytes.
  EXPECT_EQ(Query(kDornPdo, ScopedQuery(fn::kGetDriveInfo, 241, 4, Nvme(0), 2)).U8(34 + 163),
            4 | (4 << 3));
  EXPECT_EQ(Query(kDornPdo, ScopedQuery(fn::kGetDriveInfo, 240, 4, Nvme(0), 2)).ReturnCode(), 4u);
}

TEST_F(DemoQueries, MoreDrivesThanTheAnswerHoldsGiveStatus4AndTheirCount) {
  auto large = LoadDriver("large.json");
  const auto controller = Id("c0d0e100-0000-4000-8000-0000000000b1");
  Bytes all =
      Query(kSataPdo, ScopedQuery(fn::kGetDriveInfo, 131072, 1, controller, 3), large.get());
  EXPECT_EQ(all.ReturnCode(), 4u);
  EXPECT_EQ(all.U16(32), 600);  // the count goes out so that a caller can size its buffer

  // A 1.0 layout would fit 784 records; at 4.0 the 507th is the last that fits.
  large->Edit([](Topology& t) { t.controllers[0].drives.resize(507); });
  EXPECT_EQ(Query(kSataPdo, ScopedQuery(fn::kGetDriveInfo, 131072, 1, controller, 3), large.get())
                .ReturnCode(),
            0u);
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
  // The driver answers within 28 + length, whatever the buffer size.
  Bytes shorter = ScopedQuery(fn::kGetArrayInfo, 300, 1, kSataController);
  shorter.Put32(24, 49 - 28);
  ASSERT_TRUE(Send(*driver, kSataPdo, shorter).ok);
  EXPECT_EQ(shorter.ReturnCode(), 4u);
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

}  // namespace
}  // namespace vesk::sim::test
