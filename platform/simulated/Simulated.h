// The device-facing Windows functions as the simulated machine answers them, shared by both
// platforms: on POSIX they are the only implementation, on Windows the seam (platform/windows/)
// calls them instead of the SDK while a machine is installed or for objects they made.
//
// Internal to platform/: every other file reaches these functions by their Windows names.
#pragma once

#include <memory>

#include "platform/simulated/Host.h"
#include "platform/win32.h"

namespace vesk::platform {

// Sets the thread's last error and returns `result`, for the many "fail with X" exits.
template <typename T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

// Handles of simulated devices, kept by each platform where its other handles live so that the
// two kinds can never be taken for one another. Insert returns INVALID_HANDLE_VALUE, with the
// last error set, when no handle can be had; Lookup returns null for anything but a live device
// handle.
HANDLE InsertDeviceHandle(std::unique_ptr<HostFile> file);
std::shared_ptr<HostFile> LookupDeviceHandle(HANDLE handle);

namespace simulated {

// A path of the form the simulated machine's devices are opened by.
bool IsDevicePath(LPCWSTR fileName);
// Whether a set or registration was made here (and is still alive).
bool IsDeviceInfoSet(HDEVINFO deviceInfoSet);
bool IsRegistration(HCMNOTIFICATION notifyContext);

HANDLE CreateFile2(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   DWORD creationDisposition, LPCREATEFILE2_EXTENDED_PARAMETERS extendedParameters);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped);

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent);
HDEVINFO SetupDiGetClassDevsExW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags,
                                HDEVINFO deviceInfoSet, PCWSTR machineName, PVOID reserved);
BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex,
                           PSP_DEVINFO_DATA deviceInfoData);
BOOL SetupDiGetDevicePropertyW(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                               const DEVPROPKEY* propertyKey, DEVPROPTYPE* propertyType,
                               PBYTE propertyBuffer, DWORD propertyBufferSize, PDWORD requiredSize,
                               DWORD flags);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet);

CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                   PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notifyContext);
CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION notifyContext);

ULONG EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback, PVOID callbackContext,
                    PREGHANDLE regHandle);
ULONG EventUnregister(REGHANDLE regHandle);
ULONG EventSetInformation(REGHANDLE regHandle, EVENT_INFO_CLASS informationClass, PVOID information,
                          ULONG informationLength);
ULONG EventWriteTransfer(REGHANDLE regHandle, PCEVENT_DESCRIPTOR descriptor, LPCGUID activityId,
                         LPCGUID relatedActivityId, ULONG userDataCount,
                         PEVENT_DATA_DESCRIPTOR userData);

// Hands debugger output to the installed machine; false when there is none.
bool DebugOutput(LPCWSTR text);

}  // namespace simulated
}  // namespace vesk::platform
