// The one seam between Vesk and the operating system.
//
// Library code calls the Windows functions it needs by their Windows names and includes only this
// header for them. On Windows it brings in the SDK (plus the few declarations mingw-w64 lacks, see
// platform/windows/missing.h) and routes the device-facing calls through platform/windows/Seam.cc,
// which hands them to a simulated machine while one is installed and to the SDK otherwise.
// Everywhere else it declares the same types, constants and functions, implemented in
// platform/posix/ over POSIX and the simulated machine (vesk::sim::Machine).
//
// Only what the library calls is here, with the semantics the library relies on, plus the few
// process calls a test needs to start a second copy of itself; docs/platform.md lists where the
// emulation differs from Windows.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// The SDK headers depend on this order.
// clang-format off
#include <windows.h>
// initguid.h first so that the DEVPKEY_ and GUID_ constants are defined, not just declared.
#include <initguid.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <devpkey.h>
#include <evntprov.h>
#include <evntrace.h>
#include <winioctl.h>  // DEVICE_TYPE and CTL_CODE, which ntddstor.h needs first
#include <ntddscsi.h>
#include <ntddstor.h>
#include <sddl.h>
#include <setupapi.h>
// clang-format on

#include "platform/windows/missing.h"
#include "platform/windows/Seam.h"

#else  // !_WIN32

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Basic types. Windows is LLP64: LONG and ULONG are 32 bits everywhere.
// ---------------------------------------------------------------------------------------------
#define WINAPI
#define CALLBACK
#define NTAPI
#define EVNTAPI
#define VOID void

using BOOL = int;
using BYTE = std::uint8_t;
using UCHAR = std::uint8_t;
using PBYTE = BYTE*;
using WORD = std::uint16_t;
using USHORT = std::uint16_t;
using DWORD = std::uint32_t;
using PDWORD = DWORD*;
using LPDWORD = DWORD*;
using ULONG = std::uint32_t;
using PULONG = ULONG*;
using LONG = std::int32_t;
using ULONGLONG = std::uint64_t;
using ULONG64 = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using WCHAR = wchar_t;
using LPCWSTR = const wchar_t*;
using PCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
using LPCSTR = const char*;
using PVOID = void*;
using LPVOID = void*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using HWND = void*;
using HLOCAL = void*;
using PSECURITY_DESCRIPTOR = void*;
using CONFIGRET = DWORD;
using REGHANDLE = ULONGLONG;
using PREGHANDLE = REGHANDLE*;
using DEVPROPTYPE = ULONG;
using HDEVINFO = void*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using LPCGUID = const GUID*;
using LPGUID = GUID*;
bool IsEqualGUID(const GUID& a, const GUID& b);
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }

// ---------------------------------------------------------------------------------------------
// Error codes (winerror.h) and wait results.
// ---------------------------------------------------------------------------------------------
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_BAD_PATHNAME = 161;
constexpr DWORD ERROR_BUSY = 170;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_NOT_OWNER = 288;
constexpr DWORD ERROR_IO_DEVICE = 1117;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_CANCELLED = 1223;
constexpr DWORD ERROR_INVALID_DATA = 13;

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD GENERIC_ALL = 0x10000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD OPEN_EXISTING = 3;

// ---------------------------------------------------------------------------------------------
// kernel32
// ---------------------------------------------------------------------------------------------
DWORD GetLastError();
void SetLastError(DWORD error);

BOOL CloseHandle(HANDLE object);

struct SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
};
using PSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds);
void Sleep(DWORD milliseconds);

// Only the file offset of the lock calls is used; the union with Pointer is left out.
struct OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
};
using LPOVERLAPPED = OVERLAPPED*;

struct CREATEFILE2_EXTENDED_PARAMETERS {
  DWORD dwSize;
  DWORD dwFileAttributes;
  DWORD dwFileFlags;
  DWORD dwSecurityQosFlags;
  LPSECURITY_ATTRIBUTES lpSecurityAttributes;
  HANDLE hTemplateFile;
};
using LPCREATEFILE2_EXTENDED_PARAMETERS = CREATEFILE2_EXTENDED_PARAMETERS*;

HANDLE CreateFile2(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   DWORD creationDisposition, LPCREATEFILE2_EXTENDED_PARAMETERS extendedParameters);

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned,
                     LPOVERLAPPED overlapped);

void OutputDebugStringW(LPCWSTR text);

// Processes: enough to start this program again, end it and read its exit code.
using HMODULE = void*;
using UINT = unsigned int;
constexpr DWORD STILL_ACTIVE = 259;

struct STARTUPINFOW {
  DWORD cb;
  LPWSTR lpReserved;
  LPWSTR lpDesktop;
  LPWSTR lpTitle;
  DWORD dwX;
  DWORD dwY;
  DWORD dwXSize;
  DWORD dwYSize;
  DWORD dwXCountChars;
  DWORD dwYCountChars;
  DWORD dwFillAttribute;
  DWORD dwFlags;
  WORD wShowWindow;
  WORD cbReserved2;
  BYTE* lpReserved2;
  HANDLE hStdInput;
  HANDLE hStdOutput;
  HANDLE hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct PROCESS_INFORMATION {
  HANDLE hProcess;
  HANDLE hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation);
BOOL TerminateProcess(HANDLE process, UINT exitCode);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
DWORD GetCurrentProcessId();
DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size);
BOOL SetEnvironmentVariableW(LPCWSTR name, LPCWSTR value);

HLOCAL LocalFree(HLOCAL memory);

// Files: regular files only, for the tools' state (veskctl's state file and its lock).
using LPCVOID = const void*;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_LOCK_VIOLATION = 33;
constexpr DWORD ERROR_NOT_LOCKED = 158;
constexpr DWORD ERROR_NEGATIVE_SEEK = 131;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8;
constexpr DWORD LOCKFILE_FAIL_IMMEDIATELY = 0x1;
constexpr DWORD LOCKFILE_EXCLUSIVE_LOCK = 0x2;

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
BOOL FlushFileBuffers(HANDLE file);
BOOL MoveFileExW(LPCWSTR existingFileName, LPCWSTR newFileName, DWORD flags);
BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                LPOVERLAPPED overlapped);
BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD bytesLow, DWORD bytesHigh,
                  LPOVERLAPPED overlapped);
// Where the next read or write of a handle starts, and the file's size: what an append-only log
// needs to find its end, read its tail and cut off a torn last line.
union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  std::int64_t QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPointer,
                      DWORD moveMethod);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
BOOL SetEndOfFile(HANDLE file);

// Console control: how a console program hears that it is asked to stop (Ctrl+C, close).
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
using PHANDLER_ROUTINE = BOOL (*)(DWORD controlType);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// ---------------------------------------------------------------------------------------------
// advapi32: security descriptors and event tracing
// ---------------------------------------------------------------------------------------------
constexpr DWORD SDDL_REVISION_1 = 1;
BOOL ConvertStringSecurityDescriptorToSecurityDescriptorW(LPCWSTR sddl, DWORD revision,
                                                          PSECURITY_DESCRIPTOR* descriptor,
                                                          PULONG descriptorSize);

struct EVENT_DESCRIPTOR {
  USHORT Id;
  UCHAR Version;
  UCHAR Channel;
  UCHAR Level;
  UCHAR Opcode;
  USHORT Task;
  ULONGLONG Keyword;
};
using PCEVENT_DESCRIPTOR = const EVENT_DESCRIPTOR*;

struct EVENT_DATA_DESCRIPTOR {
  ULONGLONG Ptr;
  ULONG Size;
  union {
    ULONG Reserved;
    struct {
      UCHAR Type;
      UCHAR Reserved1;
      USHORT Reserved2;
    };
  };
};
using PEVENT_DATA_DESCRIPTOR = EVENT_DATA_DESCRIPTOR*;

constexpr UCHAR EVENT_DATA_DESCRIPTOR_TYPE_NONE = 0;
constexpr UCHAR EVENT_DATA_DESCRIPTOR_TYPE_EVENT_METADATA = 1;
constexpr UCHAR EVENT_DATA_DESCRIPTOR_TYPE_PROVIDER_METADATA = 2;

struct EVENT_FILTER_DESCRIPTOR {
  ULONGLONG Ptr;
  ULONG Size;
  ULONG Type;
};
using PEVENT_FILTER_DESCRIPTOR = EVENT_FILTER_DESCRIPTOR*;

constexpr ULONG EVENT_CONTROL_CODE_DISABLE_PROVIDER = 0;
constexpr ULONG EVENT_CONTROL_CODE_ENABLE_PROVIDER = 1;
constexpr ULONG EVENT_CONTROL_CODE_CAPTURE_STATE = 2;

using PENABLECALLBACK = void (*)(LPCGUID sourceId, ULONG isEnabled, UCHAR level,
                                 ULONGLONG matchAnyKeyword, ULONGLONG matchAllKeyword,
                                 PEVENT_FILTER_DESCRIPTOR filterData, PVOID callbackContext);

enum EVENT_INFO_CLASS {
  EventProviderBinaryTrackInfo = 0,
  EventProviderSetReserved1 = 1,
  EventProviderSetTraits = 2,
  EventProviderUseDescriptorType = 3,
  MaxEventInfo = 4
};

ULONG EventRegister(LPCGUID providerId, PENABLECALLBACK enableCallback, PVOID callbackContext,
                    PREGHANDLE regHandle);
ULONG EventUnregister(REGHANDLE regHandle);
ULONG EventSetInformation(REGHANDLE regHandle, EVENT_INFO_CLASS informationClass, PVOID information,
                          ULONG informationLength);
ULONG EventWriteTransfer(REGHANDLE regHandle, PCEVENT_DESCRIPTOR descriptor, LPCGUID activityId,
                         LPCGUID relatedActivityId, ULONG userDataCount,
                         PEVENT_DATA_DESCRIPTOR userData);

// ---------------------------------------------------------------------------------------------
// SetupAPI and the device property system
// ---------------------------------------------------------------------------------------------
struct SP_DEVINFO_DATA {
  DWORD cbSize;
  GUID ClassGuid;
  DWORD DevInst;
  ULONG_PTR Reserved;
};
using PSP_DEVINFO_DATA = SP_DEVINFO_DATA*;

struct DEVPROPKEY {
  GUID fmtid;
  ULONG pid;
};

constexpr DWORD DIGCF_DEFAULT = 0x1;
constexpr DWORD DIGCF_PRESENT = 0x2;
constexpr DWORD DIGCF_ALLCLASSES = 0x4;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

constexpr DEVPROPTYPE DEVPROP_TYPE_EMPTY = 0x0;
constexpr DEVPROPTYPE DEVPROP_TYPE_STRING = 0x12;

inline constexpr DEVPROPKEY DEVPKEY_Device_Service = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 6};
inline constexpr DEVPROPKEY DEVPKEY_Device_Manufacturer = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 13};
inline constexpr DEVPROPKEY DEVPKEY_Device_PDOName = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 16};

inline constexpr GUID GUID_DEVCLASS_SCSIADAPTER = {
    0x4d36e97b, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
inline constexpr GUID GUID_DEVINTERFACE_STORAGEPORT = {
    0x2accfe60, 0xc130, 0x11d2, {0xb0, 0x82, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

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

// ---------------------------------------------------------------------------------------------
// Configuration manager notifications
// ---------------------------------------------------------------------------------------------
constexpr CONFIGRET CR_SUCCESS = 0x0;
constexpr CONFIGRET CR_OUT_OF_MEMORY = 0x2;
constexpr CONFIGRET CR_INVALID_POINTER = 0x3;
constexpr CONFIGRET CR_INVALID_DATA = 0x1F;
constexpr CONFIGRET CR_FAILURE = 0x13;

struct HCMNOTIFICATION__;
using HCMNOTIFICATION = HCMNOTIFICATION__*;
using PHCMNOTIFICATION = HCMNOTIFICATION*;

enum CM_NOTIFY_FILTER_TYPE {
  CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE = 0,
  CM_NOTIFY_FILTER_TYPE_DEVICEHANDLE = 1,
  CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE = 2,
  CM_NOTIFY_FILTER_TYPE_MAX = 3
};

constexpr DWORD CM_NOTIFY_FILTER_FLAG_ALL_INTERFACE_CLASSES = 0x1;
constexpr DWORD CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES = 0x2;
constexpr int MAX_DEVICE_ID_LEN = 200;

struct CM_NOTIFY_FILTER {
  DWORD cbSize;
  DWORD Flags;
  CM_NOTIFY_FILTER_TYPE FilterType;
  DWORD Reserved;
  union {
    struct {
      GUID ClassGuid;
    } DeviceInterface;
    struct {
      HANDLE hTarget;
    } DeviceHandle;
    struct {
      // UTF-16 on Windows; kept 16-bit here so the filter has the Windows size on every platform.
      char16_t InstanceId[MAX_DEVICE_ID_LEN];
    } DeviceInstance;
  } u;
};
using PCM_NOTIFY_FILTER = CM_NOTIFY_FILTER*;
static_assert(sizeof(CM_NOTIFY_FILTER) == 416, "CM_NOTIFY_FILTER has the Windows x64 size");

enum CM_NOTIFY_ACTION {
  CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL = 0,
  CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL = 1,
  CM_NOTIFY_ACTION_DEVICEQUERYREMOVE = 2,
  CM_NOTIFY_ACTION_DEVICEQUERYREMOVEFAILED = 3,
  CM_NOTIFY_ACTION_DEVICEREMOVEPENDING = 4,
  CM_NOTIFY_ACTION_DEVICEREMOVECOMPLETE = 5,
  CM_NOTIFY_ACTION_DEVICECUSTOMEVENT = 6,
  CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED = 7,
  CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED = 8,
  CM_NOTIFY_ACTION_DEVICEINSTANCEREMOVED = 9,
  CM_NOTIFY_ACTION_MAX = 10
};

struct _CM_NOTIFY_EVENT_DATA {
  CM_NOTIFY_FILTER_TYPE FilterType;
  DWORD Reserved;
  union {
    struct {
      GUID ClassGuid;
      WCHAR SymbolicLink[1];
    } DeviceInterface;
    struct {
      GUID EventGuid;
      LONG NameOffset;
      DWORD DataSize;
      BYTE Data[1];
    } DeviceHandle;
    struct {
      WCHAR InstanceId[1];
    } DeviceInstance;
  } u;
};
using CM_NOTIFY_EVENT_DATA = _CM_NOTIFY_EVENT_DATA;
using PCM_NOTIFY_EVENT_DATA = _CM_NOTIFY_EVENT_DATA*;

using PCM_NOTIFY_CALLBACK = DWORD (*)(HCMNOTIFICATION notify, PVOID context,
                                      CM_NOTIFY_ACTION action, PCM_NOTIFY_EVENT_DATA eventData,
                                      DWORD eventDataSize);

CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                   PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notifyContext);
CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION notifyContext);

// ---------------------------------------------------------------------------------------------
// SCSI miniport pass-through (ntddscsi.h)
// ---------------------------------------------------------------------------------------------
constexpr DWORD IOCTL_SCSI_MINIPORT = 0x0004D008;

#pragma pack(push, 1)
struct SRB_IO_CONTROL {
  ULONG HeaderLength;
  UCHAR Signature[8];
  ULONG Timeout;
  ULONG ControlCode;
  ULONG ReturnCode;
  ULONG Length;
};
#pragma pack(pop)
using PSRB_IO_CONTROL = SRB_IO_CONTROL*;

#endif  // _WIN32
