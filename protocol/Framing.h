// The common framing of every request to the RAID driver.
//
// A request is one flat buffer handed to the controller device with IOCTL_SCSI_MINIPORT as both
// input and output: the 28-byte SRB_IO_CONTROL header, then for management requests a 32-bit
// layout version, then the payload. The driver answers in place over the payload and puts its
// status in the header's return code. docs/protocol.md describes the wire format.
//
// Record types begin with the framing so that their static_asserts state absolute buffer offsets.
// Each record names its function code; TALU_IOCTL<T> and OOB_IOCTL<P> add the signature.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"
#include "vesk/Types.h"

namespace Vesk {

// Function numbers of the driver's queries (read access) and commands (write access).
enum class TaluManagementGetFunctionCode : std::uint32_t {
  GetControllerInfo = 0,
  GetControllerIdentifiers = 1,
  GetControllerCapabilities = 2,
  GetDriveInfo = 3,
  GetDriveIdentifiers = 4,
  GetVolumeInfo = 5,
  GetVolumeIdentifiers = 6,
  // 7 is the driver's and unused here.
  GetArrayInfo = 8,
  GetArrayIdentifiers = 9,
  GetExecutorInformation = 10,
  GetEvents = 11,
};

enum class TaluManagementSetFunctionCode : std::uint32_t {
  CreateVolume = 0,
  MarkAsSpare = 1,
  UnmarkSpare = 2,
  ClearDriveMetadata = 3,
  MarkDriveAsNormal = 4,
  SetVolatileWriteCacheOnDrive = 5,
  ResetSmartEvent = 6,
  ActivateDriveLed = 7,
  RemoveDrive = 8,
  MarkVolumeAsNormal = 9,
  DeleteVolume = 10,
  RebuildVolume = 11,
  ExpandVolume = 12,
  ChangeRaidLayout = 13,
  RenameVolume = 14,
  VerifyVolume = 15,
  CancelVolumeVerification = 16,
  InitializeVolume = 17,
  AddDrivesToArray = 18,
  SetVolumeCachePolicy = 19,
  SetVolumeRwhPolicy = 20,
  SetArrayCachePolicy = 21,
  SetControllerRohiPolicy = 22,
  SetControllerReadPatrolPolicy = 23,
  CreateEventSubscription = 24,
  CancelEventSubscription = 25,
  SanitizeDrive = 26,
  SetControllerRate = 27,
};

// A function code is shaped like a Windows device control code: device type 4
// (FILE_DEVICE_CONTROLLER), buffered transfer, read access for queries and write access for
// commands.
constexpr std::uint32_t TaluControlCode(std::uint32_t access, std::uint32_t number) {
  return (4u << 16) | (access << 14) | (number << 2);
}
constexpr std::uint32_t FunctionCode(TaluManagementGetFunctionCode number) {
  return TaluControlCode(1, static_cast<std::uint32_t>(number));
}
constexpr std::uint32_t FunctionCode(TaluManagementSetFunctionCode number) {
  return TaluControlCode(2, static_cast<std::uint32_t>(number));
}
static_assert(FunctionCode(TaluManagementGetFunctionCode::GetEvents) == 0x4402C);
static_assert(FunctionCode(TaluManagementSetFunctionCode::SetControllerRate) == 0x4806C);

// Layout version of a management payload: management specification 1.0 to 4.0. The current
// record layouts (names ending in _4_0) are those of TALU_API_VERSION_4_0.
enum TaluManagementApiVersion : std::uint32_t {
  TALU_API_VERSION_1_0 = 0,
  TALU_API_VERSION_2_0 = 1,
  TALU_API_VERSION_3_0 = 2,
  TALU_API_VERSION_4_0 = 3,
};

// The 8 signature characters travel without a terminating zero.
inline constexpr char kTaluManagementSignature[9] = "TALUMgmt";
inline constexpr char kTaluOobSignature[9] = "TALU OOB";
inline constexpr std::size_t kTaluSignatureLength = 8;

inline constexpr std::uint32_t kTaluHeaderLength = 28;
inline constexpr std::uint32_t kTaluTimeout = 30000;
// Return codes above this are not statuses: the request failed in transport.
inline constexpr std::uint32_t kTaluMaxReturnCode = 0xFFFF;
// Where the payload starts: behind the API-version field, or right behind the header for
// out-of-band requests.
inline constexpr std::size_t kTaluPayloadOffset = 32;
inline constexpr std::size_t kOobPayloadOffset = 28;

// Reads and writes a bit field of a wire integer. Wire records keep bit fields in plain integers
// (the layout of C bit-fields is the compiler's choice); values wider than the field are cut to
// it, so they never spill into a neighbouring field.
template <class T>
constexpr T GetBits(T word, unsigned shift, unsigned width) {
  return static_cast<T>((word >> shift) & ((1ull << width) - 1));
}
template <class T>
constexpr T SetBits(T word, unsigned shift, unsigned width, std::uint64_t value) {
  const std::uint64_t mask = ((1ull << width) - 1) << shift;
  return static_cast<T>((word & ~mask) | ((value << shift) & mask));
}
static_assert(SetBits<std::uint8_t>(0, 4, 4, 0x12) == 0x20);
static_assert(GetBits<std::uint8_t>(0xA5, 5, 3) == 5);

#pragma pack(push, 1)
static_assert(sizeof(SRB_IO_CONTROL) == 28);
static_assert(offsetof(SRB_IO_CONTROL, HeaderLength) == 0);
static_assert(offsetof(SRB_IO_CONTROL, Signature) == 4);
static_assert(offsetof(SRB_IO_CONTROL, Timeout) == 12);
static_assert(offsetof(SRB_IO_CONTROL, ControlCode) == 16);
static_assert(offsetof(SRB_IO_CONTROL, ReturnCode) == 20);
static_assert(offsetof(SRB_IO_CONTROL, Length) == 24);

// The framing that every management record begins with.
struct TALU_MGMT_IOCTL_HEADER {
  SRB_IO_CONTROL srb;
  std::uint32_t apiVersion;  // TaluManagementApiVersion
};
static_assert(sizeof(TALU_MGMT_IOCTL_HEADER) == 32);
static_assert(offsetof(TALU_MGMT_IOCTL_HEADER, srb) == 0);
static_assert(offsetof(TALU_MGMT_IOCTL_HEADER, apiVersion) == 28);

// A management record T laid over a request buffer. T begins with a TALU_MGMT_IOCTL_HEADER and
// names its function code as T::functionCode.
template <class T>
union TALU_IOCTL {
  static_assert(offsetof(T, header) == 0, "a management record begins with the framing");
  using Record = T;
  static constexpr std::uint32_t functionCode = T::functionCode;
  static constexpr const char* signature = kTaluManagementSignature;
  static constexpr bool hasApiVersion = true;

  T record;
  std::uint8_t bytes[sizeof(T)];
};

// An out-of-band payload P behind the bare SRB_IO_CONTROL header; P names its function code.
template <class P>
struct OOB_IOCTL {
  using Payload = P;
  static constexpr std::uint32_t functionCode = P::functionCode;
  static constexpr const char* signature = kTaluOobSignature;
  static constexpr bool hasApiVersion = false;

  SRB_IO_CONTROL header;
  P payload;
};
#pragma pack(pop)

}  // namespace Vesk
