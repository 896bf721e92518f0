// Device files (CreateFile2, DeviceIoControl) and device enumeration (SetupDi*), both answered
// by the current host's device tree.
#include <algorithm>
#include <cstring>
#include <cwctype>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/posix/Errors.h"
#include "platform/posix/Handles.h"
#include "platform/simulated/Host.h"

namespace vesk::platform {

namespace {

constexpr std::wstring_view kGlobalRoot = L"\\\\?\\Global\\GlobalRoot";
constexpr DWORD kErrorInvalidFlags = 1004;
constexpr DWORD kErrorInvalidUserBuffer = 1784;
constexpr DWORD kErrorInvalidMachineName = 1210;
constexpr DWORD kErrorClassMismatch = 0xE0000203;
constexpr DWORD kErrorNoSuchDevinst = 0xE000020B;

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
           return std::towlower(static_cast<wint_t>(x)) == std::towlower(static_cast<wint_t>(y));
         });
}

// A device information set: the devices it was filled with. Their properties are read from the
// host when asked for, as Windows reads them from the device tree: only what is stored for a
// device (manufacturer, service) outlives it; its PDO name goes with its device object.
struct DeviceInfoSet {
  bool hasClass = false;
  GUID classGuid{};
  std::vector<HostDeviceInfo> devices;
};

struct DeviceInfoSets {
  std::mutex lock;
  std::unordered_set<DeviceInfoSet*> live;
};
DeviceInfoSets& Sets() {
  static DeviceInfoSets* sets = new DeviceInfoSets;
  return *sets;
}

// Runs `action` on a live set under the sets' lock; false for a bogus HDEVINFO.
template <typename Action>
bool WithSet(HDEVINFO handle, Action&& action) {
  auto& sets = Sets();
  std::lock_guard guard(sets.lock);
  auto* set = static_cast<DeviceInfoSet*>(handle);
  if (!sets.live.count(set)) return false;
  action(*set);
  return true;
}

HDEVINFO NewSet(const GUID* classGuid) {
  auto* set = new DeviceInfoSet;
  if (classGuid != nullptr) {
    set->hasClass = true;
    set->classGuid = *classGuid;
  }
  auto& sets = Sets();
  std::lock_guard guard(sets.lock);
  sets.live.insert(set);
  return set;
}

const std::optional<std::wstring>* PropertyOf(const HostDeviceInfo& device, const DEVPROPKEY& key) {
  auto same = [&key](const DEVPROPKEY& other) {
    return IsEqualGUID(key.fmtid, other.fmtid) && key.pid == other.pid;
  };
  if (same(DEVPKEY_Device_Manufacturer)) return &device.manufacturer;
  if (same(DEVPKEY_Device_Service)) return &device.service;
  if (same(DEVPKEY_Device_PDOName)) return &device.pdoName;
  return nullptr;
}

}  // namespace

namespace simulated {

bool IsDevicePath(LPCWSTR fileName) {
  if (fileName == nullptr) return false;
  const std::wstring_view path(fileName);
  return path.size() > kGlobalRoot.size() &&
         EqualNoCase(path.substr(0, kGlobalRoot.size()), kGlobalRoot);
}

bool IsDeviceInfoSet(HDEVINFO deviceInfoSet) {
  auto& sets = Sets();
  std::lock_guard guard(sets.lock);
  return sets.live.count(static_cast<DeviceInfoSet*>(deviceInfoSet)) != 0;
}

HANDLE CreateFile2(LPCWSTR fileName, DWORD /*desiredAccess*/, DWORD /*shareMode*/,
                   DWORD creationDisposition,
                   LPCREATEFILE2_EXTENDED_PARAMETERS extendedParameters) {
  DWORD error = ERROR_SUCCESS;
  if (TakeFault(Api::CreateFile2, error)) return Fail(error, INVALID_HANDLE_VALUE);
  if (fileName == nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (extendedParameters != nullptr &&
      extendedParameters->dwSize != sizeof(CREATEFILE2_EXTENDED_PARAMETERS))
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  // Devices can only be opened, never created.
  if (creationDisposition != OPEN_EXISTING)
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (!IsDevicePath(fileName)) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  auto host = CurrentHost();
  if (!host) return Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
  auto file = host->Open(std::wstring_view(fileName).substr(kGlobalRoot.size()), error);
  if (!file) return Fail(error, INVALID_HANDLE_VALUE);
  HANDLE handle = InsertDeviceHandle(std::move(file));
  if (handle == INVALID_HANDLE_VALUE) return handle;
  return Fail(ERROR_SUCCESS, handle);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped) {
  DWORD error = ERROR_SUCCESS;
  if (TakeFault(Api::DeviceIoControl, error)) return Fail(error, FALSE);
  auto file = LookupDeviceHandle(device);
  if (!file) return Fail(ERROR_INVALID_HANDLE, FALSE);
  // Handles are opened for synchronous I/O only, where the byte count is required.
  if (overlapped != nullptr || bytesReturned == nullptr)
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if ((inBuffer == nullptr && inBufferSize != 0) || (outBuffer == nullptr && outBufferSize != 0))
    return Fail(998, FALSE);  // ERROR_NOACCESS
  DWORD returned = 0;
  const bool ok = file->Control(ioControlCode, static_cast<const BYTE*>(inBuffer), inBufferSize,
                                static_cast<BYTE*>(outBuffer), outBufferSize, returned, error);
  *bytesReturned = std::min(returned, outBufferSize);
  if (!ok) return Fail(error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error, FALSE);
  // A successful call leaves the thread's last error alone unless the device says otherwise.
  if (error != ERROR_SUCCESS) SetLastError(error);
  return TRUE;
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND /*parent*/) {
  DWORD error = ERROR_SUCCESS;
  if (TakeFault(Api::SetupDiCreateDeviceInfoList, error)) return Fail(error, INVALID_HANDLE_VALUE);
  return NewSet(classGuid);
}

HDEVINFO SetupDiGetClassDevsExW(const GUID* classGuid, PCWSTR enumerator, HWND /*parent*/,
                                DWORD flags, HDEVINFO deviceInfoSet, PCWSTR machineName,
                                PVOID reserved) {
  DWORD error = ERROR_SUCCESS;
  if (TakeFault(Api::SetupDiGetClassDevsExW, error)) return Fail(error, INVALID_HANDLE_VALUE);
  if (reserved != nullptr) return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  if (machineName != nullptr && *machineName != L'\0')
    return Fail(kErrorInvalidMachineName, INVALID_HANDLE_VALUE);
  // Enumeration by enumerator, across all classes or by interface is not emulated.
  if (classGuid == nullptr || enumerator != nullptr ||
      (flags & (DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE)) != 0)
    return Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
  // Every device of the simulated tree is present, so DIGCF_PRESENT changes nothing.
  std::vector<HostDeviceInfo> found;
  if (auto host = CurrentHost()) found = host->Devices(*classGuid);
  const bool ownSet = deviceInfoSet == nullptr || deviceInfoSet == INVALID_HANDLE_VALUE;
  HDEVINFO target = ownSet ? NewSet(nullptr) : deviceInfoSet;
  bool mismatch = false;
  const bool live = WithSet(target, [&](DeviceInfoSet& set) {
    if (set.hasClass && !IsEqualGUID(set.classGuid, *classGuid)) {
      mismatch = true;
      return;
    }
    for (auto& device : found) {
      const bool already = std::any_of(set.devices.begin(), set.devices.end(),
                                       [&](const HostDeviceInfo& d) { return d.id == device.id; });
      if (!already) set.devices.push_back(std::move(device));
    }
  });
  if (!live) return Fail(ERROR_INVALID_HANDLE, INVALID_HANDLE_VALUE);
  if (mismatch) return Fail(kErrorClassMismatch, INVALID_HANDLE_VALUE);
  return Fail(ERROR_SUCCESS, target);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex,
                           PSP_DEVINFO_DATA deviceInfoData) {
  if (deviceInfoData == nullptr) return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
    return Fail(kErrorInvalidUserBuffer, FALSE);
  bool found = false;
  const bool live = WithSet(deviceInfoSet, [&](DeviceInfoSet& set) {
    if (memberIndex >= set.devices.size()) return;
    const auto& device = set.devices[memberIndex];
    deviceInfoData->ClassGuid = device.setupClass;
    deviceInfoData->DevInst = device.id;
    deviceInfoData->Reserved = memberIndex;
    found = true;
  });
  if (!live) return Fail(ERROR_INVALID_HANDLE, FALSE);
  if (!found) return Fail(ERROR_NO_MORE_ITEMS, FALSE);
  return Fail(ERROR_SUCCESS, TRUE);
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                               const DEVPROPKEY* propertyKey, DEVPROPTYPE* propertyType,
                               PBYTE propertyBuffer, DWORD propertyBufferSize, PDWORD requiredSize,
                               DWORD flags) {
  DWORD error = ERROR_SUCCESS;
  if (TakeFault(Api::SetupDiGetDevicePropertyW, error)) return Fail(error, FALSE);
  if (flags != 0) return Fail(kErrorInvalidFlags, FALSE);
  if (deviceInfoData == nullptr || propertyKey == nullptr || propertyType == nullptr)
    return Fail(ERROR_INVALID_PARAMETER, FALSE);
  if (deviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA) ||
      (propertyBuffer == nullptr && propertyBufferSize != 0))
    return Fail(kErrorInvalidUserBuffer, FALSE);
  HostDeviceInfo device;
  error = ERROR_SUCCESS;
  const bool live = WithSet(deviceInfoSet, [&](DeviceInfoSet& set) {
    const auto index = deviceInfoData->Reserved;
    if (index >= set.devices.size() || set.devices[index].id != deviceInfoData->DevInst) {
      error = kErrorNoSuchDevinst;
      return;
    }
    device = set.devices[index];
  });
  if (!live) return Fail(ERROR_INVALID_HANDLE, FALSE);
  std::vector<BYTE> value;
  if (error == ERROR_SUCCESS) {
    // Asked outside the sets' lock: the host takes its own.
    auto host = CurrentHost();
    std::vector<HostDeviceInfo> present;
    if (host) present = host->Devices(device.setupClass);
    auto now = std::find_if(present.begin(), present.end(),
                            [&](const HostDeviceInfo& d) { return d.id == device.id; });
    if (now != present.end())
      device = *now;
    else
      device.pdoName.reset();
    const auto* property = PropertyOf(device, *propertyKey);
    if (property == nullptr || !property->has_value())
      error = ERROR_NOT_FOUND;
    else
      value = ToUtf16Bytes(**property);
  }
  if (error != ERROR_SUCCESS) {
    *propertyType = DEVPROP_TYPE_EMPTY;
    if (requiredSize != nullptr) *requiredSize = 0;
    return Fail(error, FALSE);
  }
  *propertyType = DEVPROP_TYPE_STRING;
  const auto size = static_cast<DWORD>(value.size());
  if (requiredSize != nullptr) *requiredSize = size;
  if (propertyBufferSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
  std::memcpy(propertyBuffer, value.data(), size);
  return Fail(ERROR_SUCCESS, TRUE);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
  auto& sets = Sets();
  auto* set = static_cast<DeviceInfoSet*>(deviceInfoSet);
  {
    std::lock_guard guard(sets.lock);
    if (sets.live.erase(set) == 0) return Fail(ERROR_INVALID_HANDLE, FALSE);
  }
  delete set;
  return Fail(ERROR_SUCCESS, TRUE);
}

}  // namespace simulated
}  // namespace vesk::platform
