// The device-facing calls on Windows, chosen at run time: while a simulated machine is installed
// (platform/simulated/Host.h) they go to it, otherwise to the SDK, so the library that is tested
// against the simulated machine is the one that ships. Mutexes, events, waits and the last error
// are always the SDK's.
//
// Code that includes platform/win32.h calls these functions by their Windows names: a call by that
// name is defined to be a call of the function below. The macros take arguments so that only
// calls are redirected, not other things of the same name (the fault switches' Api::CreateFile2).
// Only platform/ itself, which must reach the SDK's functions and defines the simulated ones,
// compiles without them (VESK_PLATFORM_INTERNAL).
#pragma once

#ifdef _WIN32

namespace vesk::platform::seam {

HANDLE CreateFile2(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   DWORD creationDisposition, LPCREATEFILE2_EXTENDED_PARAMETERS extendedParameters);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped);
// A device handle of the simulated machine, or any other handle, which goes to the SDK.
BOOL CloseHandle(HANDLE object);

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

void OutputDebugStringW(LPCWSTR text);

}  // namespace vesk::platform::seam

#ifndef VESK_PLATFORM_INTERNAL
#define CreateFile2(...) vesk::platform::seam::CreateFile2(__VA_ARGS__)
#define DeviceIoControl(...) vesk::platform::seam::DeviceIoControl(__VA_ARGS__)
#define CloseHandle(...) vesk::platform::seam::CloseHandle(__VA_ARGS__)
#define SetupDiCreateDeviceInfoList(...) \
  vesk::platform::seam::SetupDiCreateDeviceInfoList(__VA_ARGS__)
#define SetupDiGetClassDevsExW(...) vesk::platform::seam::SetupDiGetClassDevsExW(__VA_ARGS__)
#define SetupDiEnumDeviceInfo(...) vesk::platform::seam::SetupDiEnumDeviceInfo(__VA_ARGS__)
#define SetupDiGetDevicePropertyW(...) vesk::platform::seam::SetupDiGetDevicePropertyW(__VA_ARGS__)
#define SetupDiDestroyDeviceInfoList(...) \
  vesk::platform::seam::SetupDiDestroyDeviceInfoList(__VA_ARGS__)
#define CM_Register_Notification(...) vesk::platform::seam::CM_Register_Notification(__VA_ARGS__)
#define CM_Unregister_Notification(...) \
  vesk::platform::seam::CM_Unregister_Notification(__VA_ARGS__)
#define EventRegister(...) vesk::platform::seam::EventRegister(__VA_ARGS__)
#define EventUnregister(...) vesk::platform::seam::EventUnregister(__VA_ARGS__)
#define EventSetInformation(...) vesk::platform::seam::EventSetInformation(__VA_ARGS__)
#define EventWriteTransfer(...) vesk::platform::seam::EventWriteTransfer(__VA_ARGS__)
#define OutputDebugStringW(...) vesk::platform::seam::OutputDebugStringW(__VA_ARGS__)
#endif

#endif  // _WIN32
