// Answer checks of the query readers: every count is judged against the library's limits and
// against the buffer before anything behind it is read. Each rejection has its exact text and
// ERROR_INVALID_DATA; each limit is tried exactly fitting and one over.
#include "protocol/QueryReaders.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/protocol/QueryAnswer.h"

namespace Vesk {
namespace {

using namespace QueryMessages;
using test::Answer;
using test::ExpectRejected;

constexpr std::size_t kEntry = 34;

// --- Executor information --------------------------------------------------------------------

TEST(ExecutorInformation, KeepsTheFortyBytesAndNeedsTheWholeAnswer) {
  Answer answer(72);
  answer.U16(32, 4).U16(34, 0).U8(48, 0xAB).U8(71, 0xCD);
  auto info = ReadExecutorInformation(answer.data(), answer.size());
  EXPECT_EQ(info.specificationVersion, (vesk_version_duo{4, 0}));
  EXPECT_EQ(+info.carried16[0], 0xAB);
  EXPECT_EQ(+info.carried32[7], 0xCD);
  ExpectRejected([&] { ReadExecutorInformation(answer.data(), 71); }, kShortAnswer);
  ExpectRejected([&] { ReadExecutorInformation(nullptr, 72); }, kShortAnswer);
}

// --- Identifier lists ------------------------------------------------------------------------

TEST(IdentifierLists, CountUpToTheBufferIsReadAndOneMoreOrAShortAnswerIsRefused) {
  Answer answer(kControllerIdentifiersLength);
  for (std::size_t i = 0; i < 256; ++i) answer.Id(kEntry + 16 * i, std::uint8_t(i));
  answer.Count(256);
  auto ids = ReadControllerIdentifiers(answer.data(), answer.size());
  ASSERT_EQ(ids.size(), 256u);
  EXPECT_EQ(ids[255].group1 & 0xFF, 0u);  // seed 255 + 1 wraps to 0 in the first byte
  EXPECT_EQ(+ids[255].group5[5], 255);
  answer.Count(257);
  ExpectRejected([&] { ReadControllerIdentifiers(answer.data(), answer.size()); },
                 kIdentifiersPastEnd);
  ExpectRejected([&] { ReadDriveIdentifiers(answer.data(), answer.size()); }, kIdentifiersPastEnd);
  ExpectRejected([&] { ReadIdentifiers(answer.data(), answer.size()); }, kIdentifiersPastEnd);
  // A drive-identifier buffer for 4 drives with a count of 5: the fifth would be read past it.
  Answer drives(kEntry + 16 * 4);
  drives.Count(5);
  ExpectRejected([&] { ReadDriveIdentifiers(drives.data(), drives.size()); }, kIdentifiersPastEnd);
  // A zero count needs nothing past the count; one byte less is a short answer.
  drives.Count(0);
  EXPECT_TRUE(ReadControllerIdentifiers(drives.data(), kEntry).empty());
  ExpectRejected([&] { ReadControllerIdentifiers(drives.data(), kEntry - 1); }, kShortAnswer);
}

TEST(IdentifierLists, EmptyIdentifierAmongTheCountedOnesIsRefusedByKind) {
  Answer answer(kEntry + 16 * 3);
  answer.Count(2).Id(kEntry, 1);  // the second counted identifier is all zero
  ExpectRejected([&] { ReadControllerIdentifiers(answer.data(), answer.size()); },
                 kEmptyControllerIdentifier);
  ExpectRejected([&] { ReadDriveIdentifiers(answer.data(), answer.size()); },
                 kEmptyDriveIdentifier);
  EXPECT_EQ(ReadIdentifiers(answer.data(), answer.size()).size(), 2u);
  // The zero identifier after the counted ones is not looked at.
  answer.Count(1);
  EXPECT_EQ(ReadDriveIdentifiers(answer.data(), answer.size()).size(), 1u);
}

// --- Controller information ------------------------------------------------------------------

Answer ControllerAnswer(std::uint32_t api, std::size_t entries, std::uint16_t count) {
  Answer answer(kEntry + kControllerInfoSize[api] * entries);
  answer.Count(count).Id(kEntry, 7).U16(kEntry + 296, 2).U16(kEntry + 300, 8);
  return answer;
}

// Checked after everything else, so every other refusal keeps its place in the order.
TEST(ControllerInfo, AllZeroIdentifierIsRefusedInEveryLayout) {
  for (std::uint32_t api = 0; api < 4; ++api) {
    SCOPED_TRACE(api);
    auto answer = ControllerAnswer(api, 1, 1);
    answer.Bytes(kEntry, std::vector<std::uint8_t>(16, 0));
    ExpectRejected([&] { ReadSingleControllerInfo(answer.data(), answer.size(), api); },
                   kEmptyControllerIdentifier);
    ExpectRejected([&] { ReadControllerInfo(answer.data(), answer.size(), api, 1); },
                   kEmptyControllerIdentifier);
    answer.U8(kEntry + 15, 1);
    EXPECT_NO_THROW(ReadSingleControllerInfo(answer.data(), answer.size(), api));
    EXPECT_NO_THROW(ReadControllerInfo(answer.data(), answer.size(), api, 1));
    answer.Bytes(kEntry, std::vector<std::uint8_t>(16, 0)).U16(kEntry + 296, 0);
    ExpectRejected([&] { ReadControllerInfo(answer.data(), answer.size(), api, 1); },
                   kZeroMaxVolumesPerArray);
  }
}

TEST(SingleControllerInfo, ChecksCountThenMaximaInOrder) {
  for (std::uint32_t api = 0; api < 4; ++api) {
    auto answer = ControllerAnswer(api, 1, 1);
    EXPECT_EQ(answer.size(), std::vector<std::size_t>({369, 404, 404, 437})[api]);
    EXPECT_EQ(ReadSingleControllerInfo(answer.data(), answer.size(), api).maxDrivesPerController,
              8);
    auto read = [&] { ReadSingleControllerInfo(answer.data(), answer.size(), api); };
    answer.U16(kEntry + 296, 0).U16(kEntry + 300, 0);
    ExpectRejected(read, kZeroMaxDrives);
    answer.U16(kEntry + 300, 8);
    ExpectRejected(read, kZeroMaxVolumesPerArray);
    answer.Count(2);
    ExpectRejected(read, kControllerCountNotOne);
    answer.Count(0);
    ExpectRejected(read, kZeroControllerCount);
  }
}

TEST(SingleControllerInfo, BufferShorterThanItsEntryIsRefused) {
  auto answer = ControllerAnswer(0, 1, 1);
  ExpectRejected([&] { ReadSingleControllerInfo(answer.data(), answer.size() - 1, 0); },
                 kEntriesPastEnd);
  // The 369-byte answer of 1.0 is too short for the record of 2.0.
  ExpectRejected([&] { ReadSingleControllerInfo(answer.data(), answer.size(), 1); },
                 kEntriesPastEnd);
  ExpectRejected([&] { ReadSingleControllerInfo(answer.data(), 33, 0); }, kShortAnswer);
}

TEST(RefreshControllerInfo, CountUpToTheDevicesFoundIsAcceptedWithoutTheDriveMaximum) {
  auto answer = ControllerAnswer(3, 2, 2);
  answer.U16(kEntry + 300, 0);  // only the single-controller reader asks for drives
  EXPECT_EQ(ReadControllerInfo(answer.data(), answer.size(), 3, 2).maxVolumesPerArray, 2);
  answer.Count(3);
  ExpectRejected([&] { ReadControllerInfo(answer.data(), answer.size(), 3, 2); },
                 kControllerCountAboveExpected);
  answer.Count(0);
  ExpectRejected([&] { ReadControllerInfo(answer.data(), answer.size(), 3, 2); },
                 kZeroControllerCount);
  answer.Count(2).U16(kEntry + 296, 0);
  ExpectRejected([&] { ReadControllerInfo(answer.data(), answer.size(), 3, 2); },
                 kZeroMaxVolumesPerArray);
  // A caller expecting more entries than its buffer holds still cannot be led past it.
  answer.Count(3).U16(kEntry + 296, 1);
  ExpectRejected([&] { ReadControllerInfo(answer.data(), answer.size(), 3, 5); }, kEntriesPastEnd);
}

// --- Capabilities ----------------------------------------------------------------------------

// Writes a current-form descriptor at `offset` and returns the offset after it.
std::size_t Descriptor(Answer& answer, std::size_t offset, std::uint8_t level,
                       std::uint16_t maxDrives, std::uint16_t migrations) {
  answer.U8(offset, level).U16(offset + 1, 2).U16(offset + 3, maxDrives).U16(offset + 8, 0xFFFF);
  answer.U16(offset + 10, migrations);
  for (std::uint16_t i = 0; i < migrations; ++i) {
    answer.U8(offset + 12 + 2 * i, std::uint8_t(i + 1)).U8(offset + 13 + 2 * i, std::uint8_t(i));
  }
  return offset + 12 + 2 * migrations;
}

TEST(Capabilities, DescriptorsWithMigrationListsAreReadBackToBack) {
  Answer answer(kCapabilitiesLength);
  std::size_t at = Descriptor(answer, 33, VESK_RAID_0, 4, 2);
  at = Descriptor(answer, at, VESK_RAID_5, 8, 0);
  Descriptor(answer, at, VESK_RAID_1, 2, 1);
  answer.U8(32, 3);
  auto caps = ReadControllerCapabilities(answer.data(), answer.size());
  ASSERT_EQ(caps.raidLevels.size(), 3u);
  EXPECT_EQ(+caps.maxDrivesPerArray, 8);
  EXPECT_EQ(caps.raidLevels[0].migrations,
            (std::vector<_vesk_migration_descriptor_4_0>{{1, 0}, {2, 1}}));
  EXPECT_TRUE(caps.raidLevels[1].migrations.empty());
  EXPECT_EQ(+caps.raidLevels[2].descriptor.level, VESK_RAID_1);
  EXPECT_EQ(+caps.raidLevels[2].descriptor.minDrivesCount, 2);
  // Bit 15 of the strip sizes is never reported.
  EXPECT_EQ(+caps.raidLevels[0].descriptor.supportedStripSizes, 0x7FFF);
}

TEST(Capabilities, NoneToFiveDescriptorsAreReadAndMoreAreRefused) {
  Answer answer(kCapabilitiesLength);
  for (std::size_t i = 0, at = 33; i < 6; ++i) at = Descriptor(answer, at, 1, 2, 0);
  auto none = ReadControllerCapabilities(answer.data(), answer.size());
  EXPECT_TRUE(none.raidLevels.empty());
  EXPECT_EQ(+none.maxDrivesPerArray, 0);
  answer.U8(32, 5);
  EXPECT_EQ(ReadControllerCapabilities(answer.data(), answer.size()).raidLevels.size(), 5u);
  answer.U8(32, 6);
  ExpectRejected([&] { ReadControllerCapabilities(answer.data(), answer.size()); },
                 kTooManyDescriptors);
  ExpectRejected([&] { ReadControllerCapabilitiesLegacy(answer.data(), answer.size()); },
                 kTooManyDescriptors);
}

TEST(Capabilities, MigrationListOrDescriptorHeadPastTheBufferEndIsRefused) {
  // One descriptor of 12 bytes whose list fills the 310 bytes from 33: 149 migrations.
  Answer answer(kCapabilitiesLength);
  Descriptor(answer, 33, VESK_RAID_5, 3, 149);
  answer.U8(32, 1);
  auto read = [&] { return ReadControllerCapabilities(answer.data(), answer.size()); };
  EXPECT_EQ(read().raidLevels[0].migrations.size(), 149u);
  for (std::uint16_t migrations : {150, 0xFFFF}) {
    answer.U16(33 + 10, migrations);
    ExpectRejected(read, kDescriptorsPastEnd);
  }
  // The first descriptor ends at 333 and leaves 10 bytes: too few for a second head.
  EXPECT_EQ(Descriptor(answer, 33, VESK_RAID_0, 3, 144), 333u);
  answer.U8(32, 2);
  ExpectRejected(read, kDescriptorsPastEnd);
  ExpectRejected([&] { ReadControllerCapabilities(answer.data(), 32); }, kShortAnswer);
}

TEST(LegacyCapabilities, MigrationsComeFromTheLevel) {
  Answer answer(kLegacyCapabilitiesLength);
  const std::uint8_t levels[] = {VESK_RAID_0, VESK_RAID_1, VESK_RAID_10, VESK_RAID_5, VESK_RAID_4};
  for (std::size_t i = 0; i < 5; ++i) {
    answer.U8(33 + 10 * i, levels[i]).U16(33 + 10 * i + 3, std::uint16_t(i + 2));
    answer.U16(33 + 10 * i + 8, 0x8001);
  }
  answer.U8(32, 5);
  auto caps = ReadControllerCapabilitiesLegacy(answer.data(), answer.size());
  using M = std::vector<_vesk_migration_descriptor_4_0>;
  ASSERT_EQ(caps.raidLevels.size(), 5u);
  EXPECT_EQ(caps.raidLevels[0].migrations, (M{{1, 1}, {4, 1}}));
  EXPECT_EQ(caps.raidLevels[1].migrations, (M{{1, 0}, {4, 1}}));
  EXPECT_EQ(caps.raidLevels[2].migrations, (M{{4, 0}}));
  EXPECT_EQ(caps.raidLevels[3].migrations, (M{{4, 1}}));
  EXPECT_TRUE(caps.raidLevels[4].migrations.empty());
  EXPECT_EQ(+caps.raidLevels[0].descriptor.supportedStripSizes, 0x0001);
  EXPECT_EQ(+caps.maxDrivesPerArray, 6);
}

// No descriptors need nothing past the count.
TEST(LegacyCapabilities, FiveDescriptorsFillTheBufferExactlyAndShorterAnswersAreRefused) {
  Answer answer(kLegacyCapabilitiesLength);
  answer.U8(32, 5);
  EXPECT_EQ(ReadControllerCapabilitiesLegacy(answer.data(), 83).raidLevels.size(), 5u);
  ExpectRejected([&] { ReadControllerCapabilitiesLegacy(answer.data(), 82); }, kDescriptorsPastEnd);
  ExpectRejected([&] { ReadControllerCapabilitiesLegacy(answer.data(), 32); }, kShortAnswer);
  answer.U8(32, 0);
  EXPECT_TRUE(ReadControllerCapabilitiesLegacy(answer.data(), 33).raidLevels.empty());
}

// --- Arrays and volumes ----------------------------------------------------------------------

TEST(ArrayList, CountUpToTheControllerMaximumIsReadAndOneMoreIsRefused) {
  Answer answer(kEntry + 53 * 4);
  answer.Bytes(0, test::Pattern(answer.size())).Count(4);
  answer.Id(kEntry + 53 * 3, 7).Text(kEntry + 53 * 3 + 16, "Array 4").U8(kEntry + 53 * 3 + 23, 0);
  answer.U64(kEntry + 53 * 3 + 36, 1000)
      .U64(kEntry + 53 * 3 + 44, 10)
      .U8(kEntry + 53 * 3 + 52, 0x80);
  auto arrays = ReadArrayList(answer.data(), answer.size(), 4);
  ASSERT_EQ(arrays.size(), 4u);
  EXPECT_STREQ(arrays[3].name, "Array 4");
  EXPECT_EQ(+arrays[3].totalSize, 1000u);
  EXPECT_EQ(+arrays[3].freeSize, 10u);
  EXPECT_TRUE(arrays[3].WriteCacheEnabled());
  ExpectRejected([&] { ReadArrayList(answer.data(), answer.size(), 3); }, kTooManyArrays);
  // Within the maximum the driver claims, but past the buffer.
  ExpectRejected([&] { ReadArrayList(answer.data(), answer.size() - 1, 4); }, kEntriesPastEnd);
  // A controller without volumes takes only an empty list.
  answer.Count(0);
  EXPECT_TRUE(ReadArrayList(answer.data(), answer.size(), 0).empty());
}

TEST(VolumeList, CountIsBoundByTheMaximumAndByTheBufferOfEachVersion) {
  for (std::uint32_t api = 0; api < 4; ++api) {
    const std::size_t entry = api < 2 ? 94 : 98;
    Answer answer(kEntry + entry * 3);
    answer.Bytes(0, test::Pattern(answer.size())).Count(3);
    EXPECT_EQ(ReadVolumeList(answer.data(), answer.size(), api, 3).size(), 3u);
    ExpectRejected([&] { ReadVolumeList(answer.data(), answer.size(), api, 2); }, kTooManyVolumes);
    ExpectRejected([&] { ReadVolumeList(answer.data(), answer.size() - 1, api, 3); },
                   kEntriesPastEnd);
  }
}

// --- Drives ----------------------------------------------------------------------------------

TEST(DriveList, CountIsBoundWhereTheRecordsStopFittingIn131072BytesAndByTheBuffer) {
  Answer answer(kDriveListLength);
  answer.Bytes(0, test::Pattern(answer.size()));  // no entry has an all-zero identifier
  struct Bound {
    std::uint32_t api;
    std::uint16_t fits;
  };
  for (Bound bound : {Bound{0, 784}, Bound{1, 636}, Bound{2, 633}, Bound{3, 507}}) {
    answer.Count(bound.fits);
    EXPECT_EQ(ReadDriveList(answer.data(), answer.size(), bound.api).size(), bound.fits);
    answer.Count(bound.fits + 1);
    ExpectRejected([&] { ReadDriveList(answer.data(), answer.size(), bound.api); }, kTooManyDrives);
  }
  // Within the limit but past the buffer.
  answer.Count(3);
  ExpectRejected([&] { ReadDriveList(answer.data(), kEntry + 258 * 3 - 1, 3); }, kEntriesPastEnd);
}

TEST(SingleDrive, ApiIndex2AnswerUsesA241ByteBufferAndA207ByteRecord) {
  Answer answer(241);
  answer.Count(1).Id(kEntry, 4).U8(kEntry + 206, 0x11);
  auto drive = ReadSingleDriveInfo(answer.data(), answer.size(), 2);
  EXPECT_EQ(drive.id.group1 & 0xFF, 5u);
  EXPECT_EQ(+drive.carried238, 0x11);
  ExpectRejected([&] { ReadSingleDriveInfo(answer.data(), 240, 2); }, kEntriesPastEnd);
  answer.Count(2);
  ExpectRejected([&] { ReadSingleDriveInfo(answer.data(), answer.size(), 2); }, kEntriesPastEnd);
  answer.Count(0);
  ExpectRejected([&] { ReadSingleDriveInfo(answer.data(), answer.size(), 2); }, kNoDrive);
}

// --- Identifiers of array, volume and drive records --------------------------------------------

// A record keyed by the all-zero identifier would collide with every other such record in the
// snapshot's maps, so each record reader refuses it, in every layout of its record.
struct EmptyIdCase {
  const char* name;
  std::size_t entrySize;
  std::size_t entries;  // the all-zero identifier goes into the middle one
  std::string_view message;
  std::size_t (*read)(const Answer&);
  friend void PrintTo(const EmptyIdCase& c, std::ostream* os) { *os << c.name; }
};

class RecordIdentifier : public ::testing::TestWithParam<EmptyIdCase> {};

template <std::uint32_t Api>
std::size_t Volumes(const Answer& answer) {
  return ReadVolumeList(answer.data(), answer.size(), Api, 3).size();
}
template <std::uint32_t Api>
std::size_t Drives(const Answer& answer) {
  return ReadDriveList(answer.data(), answer.size(), Api).size();
}
template <std::uint32_t Api>
std::size_t SingleDrive(const Answer& answer) {
  ReadSingleDriveInfo(answer.data(), answer.size(), Api);
  return 1;
}

TEST_P(RecordIdentifier, AllZeroIdentifierIsRefusedAndOneNonZeroByteIsEnough) {
  const EmptyIdCase& c = GetParam();
  Answer answer(kEntry + c.entrySize * c.entries);
  answer.Count(std::uint16_t(c.entries));
  for (std::size_t i = 0; i < c.entries; ++i) answer.Id(kEntry + c.entrySize * i, std::uint8_t(i));
  const std::size_t middle = kEntry + c.entrySize * (c.entries / 2);
  answer.Bytes(middle, std::vector<std::uint8_t>(16, 0));
  ExpectRejected([&] { c.read(answer); }, c.message);
  answer.U8(middle + 15, 1);
  EXPECT_EQ(c.read(answer), c.entries);
}

INSTANTIATE_TEST_SUITE_P(
    Readers, RecordIdentifier,
    ::testing::Values(EmptyIdCase{"Arrays", 53, 3, kEmptyArrayIdentifier,
                                  [](const Answer& a) {
                                    return ReadArrayList(a.data(), a.size(), 3).size();
                                  }},
                      EmptyIdCase{"Volumes0", 94, 3, kEmptyVolumeIdentifier, Volumes<0>},
                      EmptyIdCase{"Volumes2", 98, 3, kEmptyVolumeIdentifier, Volumes<2>},
                      EmptyIdCase{"Drives0", 167, 3, kEmptyDriveIdentifier, Drives<0>},
                      EmptyIdCase{"Drives1", 206, 3, kEmptyDriveIdentifier, Drives<1>},
                      EmptyIdCase{"Drives2", 207, 3, kEmptyDriveIdentifier, Drives<2>},
                      EmptyIdCase{"Drives3", 258, 3, kEmptyDriveIdentifier, Drives<3>},
                      EmptyIdCase{"SingleDrive0", 167, 1, kEmptyDriveIdentifier, SingleDrive<0>},
                      EmptyIdCase{"SingleDrive1", 206, 1, kEmptyDriveIdentifier, SingleDrive<1>},
                      EmptyIdCase{"SingleDrive2", 207, 1, kEmptyDriveIdentifier, SingleDrive<2>},
                      EmptyIdCase{"SingleDrive3", 258, 1, kEmptyDriveIdentifier, SingleDrive<3>}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ApiVersion, IndexOutsideZeroToThreeIsACallersError) {
  Answer answer(kDriveListLength);
  EXPECT_THROW(ReadDriveList(answer.data(), answer.size(), 4), std::invalid_argument);
  EXPECT_THROW(ReadSingleDriveInfo(answer.data(), answer.size(), 4), std::invalid_argument);
  EXPECT_THROW(ReadVolumeList(answer.data(), answer.size(), 4, 1), std::invalid_argument);
  EXPECT_THROW(ReadSingleControllerInfo(answer.data(), answer.size(), 4), std::invalid_argument);
  EXPECT_THROW(ReadControllerInfo(answer.data(), answer.size(), 4, 1), std::invalid_argument);
}

}  // namespace
}  // namespace Vesk
