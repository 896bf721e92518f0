// The device-facing Windows functions: here the simulated machine is the only one there is.
#include "platform/simulated/Simulated.h"

namespace simulated = vesk::platform::simulated;

HANDLE CreateFile2(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   DWORD creationDisposition,
                   LPCREATEFILE2_EXTENDED_PARAMETERS extendedParameters) {
  return simulated::CreateFile2(fileName, desiredAccess, shareMode, creationDisposition,
                                extendedParameters);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped) {
  return simulated::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                    outBufferSize, bytesReturned, overlapped);
}

HDEVINFO SetupDiCreateDeviceInfoList(const GUID* classGuid, HWND parent) {
  return simulated::SetupDiCreateDeviceInfoList(classGuid, parent);
}

HDEVINFO SetupDiGetClassDevsExW(const GUID* classGuid, PCWSTR enumerator, HWND parent, DWORD flags,
                                HDEVINFO deviceInfoSet, PCWSTR machineName, PVOID reserved) {
  return simulated::SetupDiGetClassDevsExW(classGuid, enumerator, parent, flags, deviceInfoSet,
                                           machineName, reserved);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO deviceInfoSet, DWORD memberIndex,
                           PSP_DEVINFO_DATA deviceInfoData) {
  return simulated::SetupDiEnumDeviceInfo(deviceInfoSet, memberIndex, deviceInfoData);
}

BOOL SetupDiGetDevicePropertyW(HDEVINFO deviceInfoSet, PSP_DEVINFO_DATA deviceInfoData,
                               const DEVPROPKEY* propertyKey, DEVPROPTYPE* propertyType,
                               PBYTE propertyBuffer, DWORD propertyBufferSize, PDWORD requiredSize,
                               DWORD flags) {
  return simulated::SetupDiGetDevicePropertyW(deviceInfoSet, deviceInfoData, propertyKey,
                                              propertyType, propertyBuffer, propertyBufferSize,
                                              requiredSize, flags);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO deviceInfoSet) {
  return simulated::SetupDiDestroyDeviceInfoList(deviceInfoSet);
}

CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                   PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notifyContext) {
  return simulated::CM_Register_Notification(filter, context, callback, notifyContext);
}

CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION notifyContext) {
  return simulated::CM_Unregister_Notification(notifyContext);
}

ULONG EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback, PVOID callbackContext,
                    PREGHANDLE regHandle) {
  return simulated::EventRegister(providerId, enableCallback, callbackContext, regHandle);
}

ULONG EventUnregister(REGHANDLE regHandle) { return simulated::EventUnregister(regHandle); }

ULONG EventSetInformation(REGHANDLE regHandle, EVENT_INFO_CLASS informationClass, PVOID information,
                          ULONG informationLength) {
  return simulated::EventSetInformation(regHandle, informationClass, information,
                                        informationLength);
}

ULONG EventWriteTransfer(REGHANDLE regHandle, PCEVENT_DESCRIPTOR descriptor, LPCGUID activityId,
                         LPCGUID relatedActivityId, ULONG userDataCount,
                         PEVENT_DATA_DESCRIPTOR userData) {
  return simulated::EventWriteTransfer(regHandle, descriptor, activityId, relatedActivityId,
                                       userDataCount, userData);
}
