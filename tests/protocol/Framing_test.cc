// The request object on its own: framing, status and buffer handling, over a scripted executor
// that stands where the device call would be.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

#include "protocol/CommandRecords.h"
#include "protocol/OobRecords.h"
#include "protocol/QueryRequestRecords.h"
#include "protocol/SecureZero.h"
#include "protocol/TaluIoctl.h"

namespace Vesk {
namespace {

// The executor's part of a request, scripted: each device call records the buffer it was given
// and answers with the next scripted return code and result.
class ScriptedExecutor {
 public:
  struct Reply {
    int result = 1;
    std::uint32_t returnCode = 0;
  };

  ScriptedExecutor(DeviceHandle*, DWORD length) : inBufferSize(length) {}
  virtual ~ScriptedExecutor() = default;

  virtual int Send() {
    sent.emplace_back(inBuffer, inBuffer + inBufferSize);
    const Reply reply = replies.empty() ? Reply{} : replies.front();
    if (!replies.empty()) replies.erase(replies.begin());
    std::memcpy(outBuffer + 20, &reply.returnCode, 4);
    return reply.result;
  }
  int Invoke() { return Send(); }
  void WaitForCompletion() {}

  std::vector<Reply> replies;
  std::vector<std::vector<std::uint8_t>> sent;

 protected:
  BYTE* inBuffer = nullptr;
  DWORD inBufferSize;
  BYTE* outBuffer = nullptr;
};

using DeleteVolume = VeskTaluIoctl<TALU_IOCTL<DELETE_VOLUME_TALU_MGMT_IOCTL>, ScriptedExecutor>;
using ControllerIds =
    VeskTaluIoctl<TALU_IOCTL<GET_CONTROLLER_IDENTIFIERS_MGMT_IOCTL>, ScriptedExecutor>;
using PerformAction = TaluIoctl<OOB_IOCTL<OOB::ControlIoctlPayload>, ScriptedExecutor>;

TEST(RequestFraming, EverySendFramesAgainSoAStaleReturnCodeIsNotSent) {
  DeleteVolume request(nullptr);
  request.replies = {{1, 7}, {1, 0}};
  request.Invoke();
  request.Invoke();
  ASSERT_EQ(request.sent.size(), 2u);
  EXPECT_EQ(request.sent[1], request.sent[0]);
  EXPECT_EQ(request.sent[1][20], 0);
}

TEST(RequestFraming, ShorterBufferThanRecordIsRefused) {
  EXPECT_THROW(ControllerIds(nullptr, 48), std::length_error);
}

struct StatusCase {
  int deviceResult;
  std::uint32_t returnCode;
  int expectedResult;
  std::uint32_t expectedStatus;
};

class RequestStatus : public testing::TestWithParam<StatusCase> {};

TEST_P(RequestStatus, ReturnCodeBecomesStatusOrTransportFailure) {
  const StatusCase& c = GetParam();
  DeleteVolume request(nullptr);
  request.replies = {{c.deviceResult, c.returnCode}};
  EXPECT_EQ(request.Invoke(), c.expectedResult);
  EXPECT_EQ(request.Status(), c.expectedStatus);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, RequestStatus,
    testing::Values(StatusCase{1, 0, 1, 0},            // success
                    StatusCase{1, 7, 1, 7},            // ran, driver refused
                    StatusCase{1, 0xFFFF, 1, 0xFFFF},  // largest status
                    StatusCase{1, 0x10000, 0, 5},      // not a status: transport failure
                    StatusCase{1, 0xFFFFFFFF, 0, 5},   //
                    StatusCase{0, 9, 0, 0}));          // device call failed: status stays 0

TEST(RequestStatus, OutOfBandSuccessIsTheDeviceCallAlone) {
  PerformAction ran(nullptr);
  ran.replies = {{1, 0x10000}};
  EXPECT_EQ(ran.Invoke(), 1);
  PerformAction failed(nullptr);
  failed.replies = {{0, 0}};
  EXPECT_EQ(failed.Invoke(), 0);
}

// A small request carries its buffer inside itself, so what its release leaves behind can be
// looked at: the answer must not be there, also past the record where an answer is longer.
TEST(RequestBuffer, IsWipedWhenTheRequestIsReleased) {
  for (const DWORD length :
       {DWORD{sizeof(DeleteVolume::Ioctl)}, DWORD{sizeof(DeleteVolume::Ioctl) + 64}}) {
    alignas(DeleteVolume) unsigned char storage[sizeof(DeleteVolume)];
    auto* request = new (storage) DeleteVolume(nullptr, length);
    const std::size_t at = request->Buffer() - storage;
    ASSERT_EQ(request->BufferLength(), length);
    ASSERT_LE(at + length, sizeof storage);
    std::memset(request->Buffer(), 0xA5, length);
    request->~DeleteVolume();
    EXPECT_EQ(std::count(storage + at, storage + at + length, 0), static_cast<long>(length))
        << length << " bytes";
  }
}

TEST(SecureZero, ClearsExactlyTheGivenBytes) {
  std::vector<std::uint8_t> bytes(64, 0xAB);
  SecureZero(bytes.data() + 8, 40);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    EXPECT_EQ(bytes[i], (i >= 8 && i < 48) ? 0 : 0xAB) << "byte " << i;
  }
}

// Bit fields share a byte or word with their neighbours: a value too wide for its field must not
// reach the next one.
TEST(CommandBitFields, ValuesAreCutToTheirField) {
  SANITIZE_DRIVE_PAYLOAD sanitize{};
  sanitize.SetAction(0xFF);
  EXPECT_EQ(std::uint32_t{sanitize.options}, 0x7u);
  sanitize.SetOptionC(0x1F);
  EXPECT_EQ(std::uint32_t{sanitize.options}, 0xF7u);
  sanitize.SetOptionA(true);
  EXPECT_EQ(std::uint32_t{sanitize.options}, 0x2F7u);

  SANITIZE_DRIVE_LEGACY_PAYLOAD legacy{};
  legacy.SetAction(0xFF);
  EXPECT_EQ(legacy.action, 0xE0);

  vesk_new_volume_parameters parameters{};
  parameters.SetRwhPolicy(static_cast<vesk_rwh_policy>(0x12));
  EXPECT_EQ(parameters.flags, 0x20);
  parameters.SetInitialize(true);
  parameters.SetKeepExistingData(true);
  EXPECT_EQ(parameters.flags, 0x2C);
  parameters.SetKeepExistingData(false);
  EXPECT_EQ(parameters.flags, 0x24);
  EXPECT_TRUE(parameters.Initialize());
}

}  // namespace
}  // namespace Vesk
