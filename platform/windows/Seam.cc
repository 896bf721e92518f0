// The run-time choice between the simulated machine and the SDK for the device-facing calls.
//
// A call that makes an object (a device handle, a device information set, a notification
// registration) goes to the machine while one is installed; every later call on that object goes
// where the object was made, even after the machine is gone. Device handles must never be taken
// for real handles, since tests close real mutexes and events through the same CloseHandle: each
// one is the value of an unnamed event held for as long as the device handle is open, so Win32
// gives that value to nothing else meanwhile. Sets and registrations are told apart by the
// simulated side's own table; in practice only one side makes them in a process (the SDK's
// in a shipped program, the machine's under test).
//
// Trace providers register once, often from a static constructor before any machine exists, and
// must be reachable by the sessions of a machine installed later. So every provider registers on
// both sides: the handle the caller gets is the simulated one, and the SDK's registration rides
// along with it. A machine's sessions enable the provider through its simulated registration; ETW
// sessions through the SDK's. Each call goes to both; its result is the machine's while one is
// installed and the SDK's otherwise.
#include <map>
#include <mutex>
#include <unordered_map>

#include "platform/simulated/Simulated.h"

namespace vesk::platform {

namespace {

struct DeviceHandles {
  std::mutex lock;
  std::unordered_map<HANDLE, std::shared_ptr<HostFile>> files;
};

DeviceHandles& Devices() {
  static auto* devices = new DeviceHandles;
  return *devices;
}

// Removes a device handle; false if `handle` is none.
bool CloseDeviceHandle(HANDLE handle) {
  std::shared_ptr<HostFile> closed;  // destroyed outside the lock
  {
    auto& devices = Devices();
    std::lock_guard guard(devices.lock);
    auto it = devices.files.find(handle);
    if (it == devices.files.end()) return false;
    closed = std::move(it->second);
    devices.files.erase(it);
  }
  ::CloseHandle(handle);
  return true;
}

struct SdkProviders {
  std::mutex lock;
  std::map<REGHANDLE, REGHANDLE> bySimulated;
};

SdkProviders& Providers() {
  static auto* providers = new SdkProviders;
  return *providers;
}

// The SDK's registration that rides along with a simulated one; 0 if there is none.
REGHANDLE SdkProvider(REGHANDLE simulated) {
  auto& providers = Providers();
  std::lock_guard guard(providers.lock);
  auto it = providers.bySimulated.find(simulated);
  return it == providers.bySimulated.end() ? 0 : it->second;
}

bool MachineInstalled() { return CurrentHost() != nullptr; }

}  // namespace

HANDLE InsertDeviceHandle(std::unique_ptr<HostFile> file) {
  HANDLE handle = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (handle == nullptr) return INVALID_HANDLE_VALUE;
  auto& devices = Devices();
  std::lock_guard guard(devices.lock);
  devices.files.emplace(handle, std::move(file));
  return handle;
}

std::shared_ptr<HostFile> LookupDeviceHandle(HANDLE handle) {
  auto& devices = Devices();
  std::lock_guard guard(devices.lock);
  auto it = devices.files.find(handle);
  return it == devices.files.end() ? nullptr : it->second;
}

// Real handles are the SDK's to count; these are the handles of simulated devices.
std::size_t OpenHandleCount() {
  auto& devices = Devices();
  std::lock_guard guard(devices.lock);
  return devices.files.size();
}

namespace seam {

HANDLE CreateFile2(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   DWORD creationDisposition,
                   LPCREATEFILE2_EXTENDED_PARAMETERS extendedParameters) {
  // The machine simulates devices, not the file system: other paths stay the SDK's.
  if (MachineInstalled() && simulated::IsDevicePath(fileName))
    return simulated::CreateFile2(fileName, desiredAccess, shareMode, creationDisposition,
                                  extendedParameters);
  return ::CreateFile2(fileName, desiredAccess, shareMode, creationDisposition, extendedParameters);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped) {
  if (LookupDeviceHandle(device))
    return simulated::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                      outBufferSize, bytesReturned, overlapped);
  return ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                           bytesReturned, overlapped);
}

BOOL CloseHandle(HANDLE object) {
  if (CloseDeviceHandle(object)) return TRUE;
  return ::CloseHandle(object);
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) {
  if (MachineInstalled()) return simulated::SetupDiCreateDeviceInfoList(classGuid, parent);
  return ::SetupDiCreateDeviceInfoList(classGuid, parent);
}

HDEVINFO SetupDiGetClassDevsExW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags,
                                HDEVINFO deviceInfoSet, PCWSTR machineName, PVOID reserved) {
  const bool newSet = deviceInfoSet == nullptr || deviceInfoSet == INVALID_HANDLE_VALUE;
  if (newSet ? MachineInstalled() : simulated::IsDeviceInfoSet(deviceInfoSet))
    return simulated::SetupDiGetClassDevsExW(classGuid, enumerator, parent, flags, deviceInfoSet,
                                             machineName, reserved);
  return ::SetupDiGetClassDevsExW(classGuid, enumerator, parent, flags, deviceInfoSet, machineName,
                                  reserved);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex,
                           PSP_DEVINFO_DATA deviceInfoData) {
  if (simulated::IsDeviceInfoSet(deviceInfoSet))
    return simulated::SetupDiEnumDeviceInfo(deviceInfoSet, memberIndex, deviceInfoData);
  return ::SetupDiEnumDeviceInfo(deviceInfoSet, memberIndex, deviceInfoData);
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                               const DEVPROPKEY* propertyKey, DEVPROPTYPE* propertyType,
                               PBYTE propertyBuffer, DWORD propertyBufferSize, PDWORD requiredSize,
                               DWORD flags) {
  if (simulated::IsDeviceInfoSet(deviceInfoSet))
    return simulated::SetupDiGetDevicePropertyW(deviceInfoSet, deviceInfoData, propertyKey,
                                                propertyType, propertyBuffer, propertyBufferSize,
                                                requiredSize, flags);
  return ::SetupDiGetDevicePropertyW(deviceInfoSet, deviceInfoData, propertyKey, propertyType,
                                     propertyBuffer, propertyBufferSize, requiredSize, flags);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
  if (simulated::IsDeviceInfoSet(deviceInfoSet))
    return simulated::SetupDiDestroyDeviceInfoList(deviceInfoSet);
  return ::SetupDiDestroyDeviceInfoList(deviceInfoSet);
}

CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                   PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notifyContext) {
  // A handle filter goes where its handle was opened; any other filter to the installed machine.
  const bool simulatedTarget =
      filter != nullptr && filter->FilterType == CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE
          ? LookupDeviceHandle(filter->u.DeviceHandle.hTarget) != nullptr
          : MachineInstalled();
  if (simulatedTarget)
    return simulated::CM_Register_Notification(filter, context, callback, notifyContext);
  return ::CM_Register_Notification(filter, context, callback, notifyContext);
}

CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION notifyContext) {
  if (simulated::IsRegistration(notifyContext))
    return simulated::CM_Unregister_Notification(notifyContext);
  return ::CM_Unregister_Notification(notifyContext);
}

ULONG EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback, PVOID callbackContext,
                    PREGHANDLE regHandle) {
  const ULONG status =
      simulated::EventRegister(providerId, enableCallback, callbackContext, regHandle);
  if (status != ERROR_SUCCESS) return status;
  REGHANDLE sdk = 0;
  const ULONG sdkStatus = ::EventRegister(providerId, enableCallback, callbackContext, &sdk);
  if (sdkStatus != ERROR_SUCCESS) {
    if (MachineInstalled()) return status;
    simulated::EventUnregister(*regHandle);
    *regHandle = 0;
    return sdkStatus;
  }
  auto& providers = Providers();
  std::lock_guard guard(providers.lock);
  providers.bySimulated[*regHandle] = sdk;
  return status;
}

ULONG EventUnregister(REGHANDLE regHandle) {
  REGHANDLE sdk = 0;
  {
    auto& providers = Providers();
    std::lock_guard guard(providers.lock);
    auto it = providers.bySimulated.find(regHandle);
    if (it != providers.bySimulated.end()) {
      sdk = it->second;
      providers.bySimulated.erase(it);
    }
  }
  const ULONG status = simulated::EventUnregister(regHandle);
  if (sdk == 0) return status;
  const ULONG sdkStatus = ::EventUnregister(sdk);
  return MachineInstalled() ? status : sdkStatus;
}

ULONG EventSetInformation(REGHANDLE regHandle, EVENT_INFO_CLASS informationClass, PVOID information,
                          ULONG informationLength) {
  const ULONG status =
      simulated::EventSetInformation(regHandle, informationClass, information, informationLength);
  const REGHANDLE sdk = SdkProvider(regHandle);
  if (sdk == 0) return status;
  const ULONG sdkStatus =
      ::EventSetInformation(sdk, informationClass, information, informationLength);
  return MachineInstalled() ? status : sdkStatus;
}

ULONG EventWriteTransfer(REGHANDLE regHandle, PCEVENT_DESCRIPTOR descriptor, LPCGUID activityId,
                         LPCGUID relatedActivityId, ULONG userDataCount,
                         PEVENT_DATA_DESCRIPTOR userData) {
  const ULONG status = simulated::EventWriteTransfer(regHandle, descriptor, activityId,
                                                     relatedActivityId, userDataCount, userData);
  const REGHANDLE sdk = SdkProvider(regHandle);
  if (sdk == 0) return status;
  const ULONG sdkStatus =
      ::EventWriteTransfer(sdk, descriptor, activityId, relatedActivityId, userDataCount, userData);
  return MachineInstalled() ? status : sdkStatus;
}

void OutputDebugStringW(LPCWSTR text) {
  if (!simulated::DebugOutput(text)) ::OutputDebugStringW(text);
}

}  // namespace seam
}  // namespace vesk::platform
