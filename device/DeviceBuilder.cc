#include "device/DeviceBuilder.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "core/Implementation.h"
#include "vesk/Exceptions.h"

namespace Vesk {

namespace {

constexpr DWORD kPropertyBufferSize = 2048;
constexpr std::wstring_view kGlobalRoot = L"\\\\?\\Global\\GlobalRoot";

bool Valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Debugger lines for what discovery leaves out. Writing one keeps the thread's last error: the
// last-error check after a device must still see the error of discovery's own calls.
void Report(const std::wstring& line) {
  const DWORD error = GetLastError();
  OutputDebugStringW(line.c_str());
  SetLastError(error);
}

std::wstring ErrorCode(DWORD error) { return L" (error code " + std::to_wstring(error) + L").\n"; }

void ReportListFailure(std::wstring_view function) {
  Report(L"SCSI adapters could not be listed: " + std::wstring(function) + L" failed" +
         ErrorCode(GetLastError()));
}

void ReportUnreadProperty(DWORD index, std::wstring_view property) {
  Report(L"SCSI adapter " + std::to_wstring(index) + L" skipped: its " + std::wstring(property) +
         L" could not be read" + ErrorCode(GetLastError()));
}

// The texts of this library's exceptions are ASCII.
std::wstring Widen(std::string_view text) { return std::wstring(text.begin(), text.end()); }

// Names the failure that left a controller device out: the exception's text and, for the
// library's own exceptions, its error code.
std::wstring Reason(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const TaluException& e) {
    return L"\"" + Widen(e.Message()) + L"\"" + ErrorCode(e.ErrorCode());
  } catch (const std::exception& e) {
    return L"\"" + Widen(e.what()) + L"\".\n";
  } catch (...) {
    return L"an unknown failure.\n";
  }
}

// Discoveries in one process take turns. The identifier queue is shared, and a queued-row device
// is matched to its controller by its position among the devices of one discovery: another
// discovery taking identifiers in between would hand this one the wrong ones.
std::mutex& DiscoveryTurn() {
  static std::mutex turn;
  return turn;
}

}  // namespace

DeviceBuilder::~DeviceBuilder() = default;

std::wstring DeviceBuilder::DevicePath(std::wstring_view pdoName) {
  std::wstring path(kGlobalRoot);
  path += pdoName;
  return path;
}

bool DeviceBuilder::ReadStringProperty(HDEVINFO set, SP_DEVINFO_DATA& element,
                                       const DEVPROPKEY& key, std::wstring& value) {
  BYTE buffer[kPropertyBufferSize] = {};
  DEVPROPTYPE type = DEVPROP_TYPE_EMPTY;
  if (!SetupDiGetDevicePropertyW(set, &element, &key, &type, buffer, kPropertyBufferSize, nullptr,
                                 0)) {
    return false;
  }
  // String properties are UTF-16 whatever the width of wchar_t; the text ends at its first NUL
  // or at the end of the (zero-filled) buffer.
  value.clear();
  for (std::size_t at = 0; at + 1 < sizeof buffer; at += 2) {
    const auto unit = static_cast<wchar_t>(buffer[at] | (buffer[at + 1] << 8));
    if (unit == 0) break;
    value.push_back(unit);
  }
  return true;
}

HANDLE DeviceBuilder::Open(const std::wstring& path) {
  return CreateFile2(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     OPEN_EXISTING, nullptr);
}

void DeviceBuilder::CheckLastError() {
  const DWORD error = GetLastError();
  switch (error) {
    case ERROR_INVALID_HANDLE:
      throw TaluException("Mutex is used by an object of another type.", error);
    case ERROR_ACCESS_DENIED:
      throw TaluException("Access denied. Insufficient privileges to obtain a mutex.", error);
    case ERROR_BAD_PATHNAME:
      throw TaluException("Bad pathname. Mutex name contains unsupported characters.", error);
    default:
      return;
  }
}

void DeviceBuilder::Enumerate(DeviceHandles& result) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) {
    ReportListFailure(L"SetupDiCreateDeviceInfoList");
    return;
  }
  // Destroys the list however the walk ends; the handles built so far stay with `result`.
  struct ListGuard {
    HDEVINFO set;
    ~ListGuard() { SetupDiDestroyDeviceInfoList(set); }
  } guard{set};
  if (SetupDiGetClassDevsExW(&GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr, DIGCF_PRESENT, set,
                             nullptr, nullptr) == INVALID_HANDLE_VALUE) {
    ReportListFailure(L"SetupDiGetClassDevsExW");
  }
  SP_DEVINFO_DATA element{};
  element.cbSize = sizeof(SP_DEVINFO_DATA);
  for (position = 0; SetupDiEnumDeviceInfo(set, position, &element); ++position) {
    Build(result, set, element);
  }
}

void DeviceBuilder::Build(DeviceHandles& result, HDEVINFO set, SP_DEVINFO_DATA& element) {
  std::wstring pdoName;
  ReadStringProperty(set, element, DEVPKEY_Device_PDOName, pdoName);
  std::wstring path = DevicePath(pdoName);
  HANDLE open = Open(path);
  if (!Valid(open)) {
    CheckLastError();
    return;
  }
  result.push_back(std::make_shared<DeviceHandle>(open, std::make_unique<Device>(std::move(path))));
}

void ControllerDeviceBuilder::Enumerate(DeviceHandles& result) {
  std::lock_guard<std::mutex> turn(DiscoveryTurn());
  DeviceBuilder::Enumerate(result);
  std::stable_sort(result.begin(), result.end(),
                   [](const auto& a, const auto& b) { return a->device->id < b->device->id; });
  if (result.size() > kMaxControllerDevices) {
    throw TaluException("Too many controller devices retrieved.");
  }
  for (std::size_t i = 0; i < result.size(); ++i) {
    result[i]->device->id = static_cast<std::uint16_t>(i);
  }
}

void ControllerDeviceBuilder::Build(DeviceHandles& result, HDEVINFO set, SP_DEVINFO_DATA& element) {
  std::wstring manufacturer;
  if (!ReadStringProperty(set, element, DEVPKEY_Device_Manufacturer, manufacturer)) {
    ReportUnreadProperty(position, L"manufacturer");
    return;
  }
  if (manufacturer != kManufacturer) return;  // a device of another stack
  std::wstring service;
  if (!ReadStringProperty(set, element, DEVPKEY_Device_Service, service)) {
    ReportUnreadProperty(position, L"driver service");
    return;
  }

  std::wstring unopened;  // the path of a device that could not be opened
  for (std::uint16_t row = 0; row < std::size(kDriverTable); ++row) {
    if (service != kDriverTable[row]) continue;
    std::wstring pdoName;
    if (!ReadStringProperty(set, element, DEVPKEY_Device_PDOName, pdoName)) {
      ReportUnreadProperty(position, L"physical device object name");
      return;
    }
    std::wstring path = DevicePath(pdoName);
    HANDLE open = Open(path);
    if (!Valid(open)) {
      unopened = std::move(path);
      continue;
    }
    // The handle owns `open` from here on, also when its construction throws.
    auto handle = std::make_shared<VeskControllerHandle>(
        open, std::make_unique<Device>(std::move(path), row));
    if (!identifyControllers) {
      result.push_back(std::move(handle));
      return;
    }
    if (IdentifyController(row, open, handle)) {
      result.push_back(std::move(handle));
      break;
    }
    // Dropping the handle closes the device.
  }
  // The three errors that say the device's mutex cannot be had end discovery; a device that
  // could not be opened for any other reason is left out.
  CheckLastError();
  if (!unopened.empty()) {
    Report(L"Controller device " + unopened + L" skipped: it could not be opened" +
           ErrorCode(GetLastError()));
  }
}

bool ControllerDeviceBuilder::IdentifyController(
    std::uint16_t row, HANDLE /*open*/, const std::shared_ptr<VeskControllerHandle>& handle) {
  // The open file handle belongs to `handle`, which closes it when the caller drops it; closing
  // it here as well would close it twice.
  const DWORD lastError = GetLastError();
  try {
    // A facade of its own, only to send one query through this handle.
    StorageManagement::Implementation temporary;
    if (row < kFirstQueuedRow) {
      // at(): an answer naming no identifier fails here like any other unusable answer.
      handle->controllerId = temporary.GetControllerIdentifiers(*handle).at(0);
      return true;
    }
    std::deque<vesk_guid>& queue = IdentifierQueue();
    if (queue.empty()) {
      std::vector<vesk_guid> identifiers = temporary.GetControllerIdentifiers(*handle);
      queue.insert(queue.end(), identifiers.begin(), identifiers.end());
    }
    handle->controllerId = queue.at(0);
    queue.pop_front();
    return true;
  } catch (const VeskException&) {
    throw;
  } catch (...) {
    Report(L"Controller device " + handle->device->path + L" skipped: " +
           Reason(std::current_exception()));
    // The failed request's error says nothing about the device's mutex; the last-error check
    // that follows must not take it for one.
    SetLastError(lastError);
    return false;
  }
}

std::deque<vesk_guid>& ControllerDeviceBuilder::IdentifierQueue() {
  static std::deque<vesk_guid> queue;
  return queue;
}

}  // namespace Vesk
