// Device files and enumeration against the simulated machine.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "PlatformTestSupport.h"
#include "simulator/Machine.h"

namespace {

using vesk::sim::DeviceSpec;
using vesk::sim::IoControl;
using vesk::sim::IoResult;
using vesk::sim::Machine;
using vesk::test::Bare;
using vesk::test::Controller;
using vesk::test::FailureOf;
using vesk::test::Open;
using vesk::test::PathOf;

// Echoes the input into the output, records what it saw, and answers as told.
class EchoBackend : public vesk::sim::DeviceBackend {
 public:
  IoResult Control(const IoControl& call) override {
    ++calls;
    lastPdo = call.pdoName;
    lastCode = call.controlCode;
    const DWORD n = std::min(call.inSize, call.outSize);
    if (n != 0) std::memmove(call.out, call.in, n);
    IoResult result = answer;
    if (result.ok && result.bytesReturned == 0) result.bytesReturned = n;
    return result;
  }
  std::atomic<int> calls{0};
  std::wstring lastPdo;
  DWORD lastCode = 0;
  IoResult answer;
};

// The last error of an open that failed; 0 (and the handle closed) for one that succeeded.
DWORD OpenFailure(const std::wstring& path) {
  HANDLE device = Open(path);
  return device == INVALID_HANDLE_VALUE ? GetLastError() : DWORD{!CloseHandle(device)};
}

class Devices : public ::testing::Test {
 protected:
  Machine machine;
  std::shared_ptr<EchoBackend> backend = std::make_shared<EchoBackend>();
};

TEST_F(Devices, OpenedDeviceHandsItsCallsToTheBackendWhichDecidesTheOutcome) {
  machine.AddDevice(Controller(L"\\Device\\00000031", backend));
  // The path prefix and the device name are matched without regard to case, like Windows.
  HANDLE device = Open(L"\\\\?\\GLOBAL\\GLOBALROOT\\device\\00000031");
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  BYTE in[4] = {1, 2, 3, 4};
  BYTE out[8] = {};
  DWORD returned = 99;
  EXPECT_TRUE(DeviceIoControl(device, IOCTL_SCSI_MINIPORT, in, 4, out, 8, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(out[3], 4);
  EXPECT_EQ(backend->lastCode, IOCTL_SCSI_MINIPORT);
  EXPECT_EQ(backend->lastPdo, L"\\Device\\00000031");
  // The backend decides the outcome. A success leaves an earlier last error in place, as Windows
  // does.
  SetLastError(ERROR_BUSY);
  EXPECT_TRUE(Bare(device));
  EXPECT_EQ(GetLastError(), ERROR_BUSY);
  backend->answer = {false, 0, ERROR_BUSY};
  SetLastError(0);
  EXPECT_EQ(FailureOf(Bare(device)), ERROR_BUSY);
  backend->answer = {false, 0, ERROR_SUCCESS};
  EXPECT_EQ(FailureOf(Bare(device)), ERROR_GEN_FAILURE);
  // Never more bytes reported than the output buffer holds.
  backend->answer = {true, 1000, ERROR_SUCCESS};
  EXPECT_TRUE(DeviceIoControl(device, 1, nullptr, 0, out, 4, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(FailureOf(DeviceIoControl(device, 1, nullptr, 0, out, 4, nullptr, nullptr)),
            ERROR_INVALID_PARAMETER);
  CloseHandle(device);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(FailureOf(Bare(event)), ERROR_INVALID_HANDLE);  // not a device
  CloseHandle(event);
}

TEST_F(Devices, UnknownAbsentRefusingOrRemovedDevicesCannotBeUsed) {
  EXPECT_EQ(OpenFailure(PathOf(L"\\Device\\none")), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(OpenFailure(L"C:\\file.txt"), ERROR_FILE_NOT_FOUND);
  auto description = Controller(L"\\Device\\locked", backend);
  description.openError = ERROR_ACCESS_DENIED;
  machine.AddDevice(description);
  EXPECT_EQ(OpenFailure(PathOf(L"\\Device\\locked")), ERROR_ACCESS_DENIED);
  machine.RemoveDevice(machine.AddDevice(Controller(L"\\Device\\gone", backend)));
  EXPECT_EQ(OpenFailure(PathOf(L"\\Device\\gone")), ERROR_FILE_NOT_FOUND);

  machine.AddDevice(Controller(L"\\Device\\ok", backend));
  EXPECT_EQ(
      CreateFile2(PathOf(L"\\Device\\ok").c_str(), GENERIC_READ, 0, 1 /*CREATE_NEW*/, nullptr),
      INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  // A removed device fails the calls of its open handles; a closed handle fails as well.
  const auto id = machine.AddDevice(Controller(L"\\Device\\1", backend));
  HANDLE device = Open(PathOf(L"\\Device\\1"));
  HANDLE second = Open(PathOf(L"\\Device\\1"));
  machine.RemoveDevice(id);
  EXPECT_EQ(FailureOf(Bare(device)), ERROR_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(backend->calls.load(), 0);
  CloseHandle(device);
  EXPECT_EQ(machine.OpenHandleCount(id), 1u);
  EXPECT_EQ(FailureOf(Bare(device)), ERROR_INVALID_HANDLE);
  CloseHandle(second);
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
}

class Enumeration : public Devices {
 protected:
  // Reads a string property the way the library does: UTF-16 bytes into a byte buffer. The value,
  // or "<error N>" when the read fails; `required` gets the size the property needs.
  static std::wstring Read(HDEVINFO set, SP_DEVINFO_DATA& data, const DEVPROPKEY& key,
                           DWORD bufferSize = 2048, DWORD* required = nullptr) {
    std::vector<BYTE> buffer(bufferSize);
    DEVPROPTYPE type = 0xFFFF;
    DWORD size = 0;
    const BOOL ok =
        SetupDiGetDevicePropertyW(set, &data, &key, &type, buffer.data(), bufferSize, &size, 0);
    if (required) *required = size;
    if (!ok) return L"<error " + std::to_wstring(GetLastError()) + L">";
    EXPECT_EQ(type, DEVPROP_TYPE_STRING);
    EXPECT_EQ(size % 2, 0u);
    std::vector<char16_t> units(size / 2);
    for (std::size_t i = 0; i < units.size(); ++i)
      units[i] = static_cast<char16_t>(buffer[2 * i] | buffer[2 * i + 1] << 8);
    EXPECT_EQ(units.back(), u'\0');
    return vesk::platform::FromUtf16(units.data(), units.size() - 1);
  }

  // The set filled with the present SCSI adapters.
  HDEVINFO Fill() {
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    EXPECT_EQ(SetupDiGetClassDevsExW(&GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr, DIGCF_PRESENT,
                                     set, nullptr, nullptr),
              set);
    return set;
  }
};

// A set keeps the devices it saw, but their properties are read when asked for: a device that
// goes afterwards is still listed and keeps its stored properties (manufacturer, service), while
// its device object, and with it the PDO name, is gone.
TEST_F(Enumeration, WalksThePresentDevicesOfTheClassInOrder) {
  const auto first = machine.AddDevice(Controller(L"\\Device\\A", backend));
  DeviceSpec other = Controller(L"\\Device\\disk", backend);
  other.setupClass = GUID_DEVINTERFACE_STORAGEPORT;  // any other class
  machine.AddDevice(other);
  const auto removed = machine.AddDevice(Controller(L"\\Device\\R", backend));
  auto third = Controller(L"\\Device\\B", backend);
  third.manufacturer = L"Other \u00c9 \U0001F600";
  machine.AddDevice(third);
  machine.RemoveDevice(removed);

  HDEVINFO set = Fill();
  machine.RemoveDevice(first);
  SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA), {}, 0, 0};
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(OpenFailure(PathOf(L"\\Device\\A")), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(IsEqualGUID(data.ClassGuid, GUID_DEVCLASS_SCSIADAPTER));
  EXPECT_EQ(Read(set, data, DEVPKEY_Device_PDOName), L"<error 1168>");
  EXPECT_EQ(Read(set, data, DEVPKEY_Device_Manufacturer), L"Korva Corporation");
  EXPECT_EQ(Read(set, data, DEVPKEY_Device_Service), L"zrTalu");
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &data));
  EXPECT_EQ(Read(set, data, DEVPKEY_Device_PDOName), L"\\Device\\B");
  // Characters outside the basic plane travel as surrogate pairs and come back whole.
  DWORD required = 0;
  EXPECT_EQ(Read(set, data, DEVPKEY_Device_Manufacturer, 2048, &required),
            L"Other \u00c9 \U0001F600");
  EXPECT_EQ(required, (10u + 1u) * 2u);
  SetLastError(0);
  EXPECT_EQ(FailureOf(SetupDiEnumDeviceInfo(set, 2, &data)), ERROR_NO_MORE_ITEMS);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(FailureOf(SetupDiDestroyDeviceInfoList(set)), ERROR_INVALID_HANDLE);
}

TEST_F(Enumeration, ShortBufferReportsTheSizeNeededAndAnAbsentPropertyIsNotFound) {
  auto description = Controller(L"\\Device\\00000031", backend);
  description.service.reset();
  machine.AddDevice(description);
  HDEVINFO set = Fill();
  SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA), {}, 0, 0};
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  const DWORD needed = (16 + 1) * 2;
  DWORD required = 0;
  EXPECT_EQ(Read(set, data, DEVPKEY_Device_PDOName, needed - 1, &required), L"<error 122>");
  EXPECT_EQ(required, needed);
  EXPECT_EQ(Read(set, data, DEVPKEY_Device_PDOName, needed), L"\\Device\\00000031");
  DEVPROPKEY unknown = DEVPKEY_Device_Service;
  unknown.pid = 99;
  for (const DEVPROPKEY& key : {DEVPKEY_Device_Service, unknown}) {
    EXPECT_EQ(Read(set, data, key), L"<error 1168>");  // ERROR_NOT_FOUND
  }
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(Enumeration, MisusedArgumentsAreRefused) {
  machine.AddDevice(Controller(L"\\Device\\1", backend));
  HDEVINFO set = Fill();
  SP_DEVINFO_DATA data{sizeof(SP_DEVINFO_DATA) - 4, {}, 0, 0};
  EXPECT_EQ(FailureOf(SetupDiEnumDeviceInfo(set, 0, &data)), 1784u);  // ERROR_INVALID_USER_BUFFER
  data.cbSize = sizeof(SP_DEVINFO_DATA);
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  DEVPROPTYPE type;
  BYTE buffer[64];
  EXPECT_EQ(FailureOf(SetupDiGetDevicePropertyW(set, &data, &DEVPKEY_Device_Service, &type, buffer,
                                                sizeof buffer, nullptr, 1)),
            1004u);  // ERROR_INVALID_FLAGS
  EXPECT_EQ(FailureOf(SetupDiGetDevicePropertyW(set, &data, &DEVPKEY_Device_Service, nullptr,
                                                buffer, sizeof buffer, nullptr, 0)),
            ERROR_INVALID_PARAMETER);
  // No buffer is a size query only when no size is claimed for it.
  EXPECT_EQ(FailureOf(SetupDiGetDevicePropertyW(set, &data, &DEVPKEY_Device_Service, &type, nullptr,
                                                sizeof buffer, nullptr, 0)),
            1784u);  // ERROR_INVALID_USER_BUFFER
  DWORD required = 0;
  EXPECT_EQ(FailureOf(SetupDiGetDevicePropertyW(set, &data, &DEVPKEY_Device_Manufacturer, &type,
                                                nullptr, 0, &required, 0)),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_GT(required, 0u);
  EXPECT_EQ(FailureOf(SetupDiEnumDeviceInfo(reinterpret_cast<HDEVINFO>(0x1234), 0, &data)),
            ERROR_INVALID_HANDLE);
  // A set made for one class cannot take the devices of another.
  HDEVINFO typed = SetupDiCreateDeviceInfoList(&GUID_DEVINTERFACE_STORAGEPORT, nullptr);
  EXPECT_EQ(SetupDiGetClassDevsExW(&GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr, DIGCF_PRESENT,
                                   typed, nullptr, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0xE0000203u);  // ERROR_CLASS_MISMATCH
  SetupDiDestroyDeviceInfoList(typed);
  SetupDiDestroyDeviceInfoList(set);
}

}  // namespace
