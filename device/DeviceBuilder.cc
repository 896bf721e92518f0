#include "device/DeviceBuilder.h"

#include <algorithm>

#include "core/Implementation.h"
#include "vesk/Exceptions.h"

namespace Vesk {

namespace {

constexpr DWORD kPropertyBufferSize = 2048;
constexpr std::wstring_view kGlobalRoot = L"\\\\?\\Global\\GlobalRoot";

bool Valid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

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
  if (set == INVALID_HANDLE_VALUE) return;
  // Destroys the list however the walk ends; the handles built so far stay with `result`.
  struct ListGuard {
    HDEVINFO set;
    ~ListGuard() { SetupDiDestroyDeviceInfoList(set); }
  } guard{set};
  SetupDiGetClassDevsExW(&GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr, DIGCF_PRESENT, set, nullptr,
                         nullptr);
  SP_DEVINFO_DATA element{};
  element.cbSize = sizeof(SP_DEVINFO_DATA);
  for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &element); ++index) {
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
  if (!ReadStringProperty(set, element, DEVPKEY_Device_Manufacturer, manufacturer) ||
      manufacturer != kManufacturer) {
    return;
  }
  std::wstring service;
  if (!ReadStringProperty(set, element, DEVPKEY_Device_Service, service)) return;

  for (std::uint16_t row = 0; row < std::size(kDriverTable); ++row) {
    if (service != kDriverTable[row]) continue;
    std::wstring pdoName;
    if (!ReadStringProperty(set, element, DEVPKEY_Device_PDOName, pdoName)) return;
    std::wstring path = DevicePath(pdoName);
    HANDLE open = Open(path);
    if (!Valid(open)) continue;
    // The handle owns `open` from here on, also when its construction throws.
    auto handle = std::make_shared<VeskControllerHandle>(
        open, std::make_unique<Device>(std::move(path), row));
    if (!identifyControllers) {
      result.push_back(std::move(handle));
      break;
    }
    if (IdentifyController(row, open, handle)) {
      result.push_back(std::move(handle));
      break;
    }
    // Dropping the handle closes the device.
  }
  CheckLastError();
}

bool ControllerDeviceBuilder::IdentifyController(
    std::uint16_t row, HANDLE /*open*/, const std::shared_ptr<VeskControllerHandle>& handle) {
  // The open file handle belongs to `handle`, which closes it when the caller drops it; closing
  // it here as well would close it twice.
  try {
    // A facade of its own, only to send one query through this handle.
    StorageManagement::Implementation temporary;
    if (row < kFirstQueuedRow) {
      std::vector<vesk_guid> identifiers = temporary.GetControllerIdentifiers(*handle);
      // The answer names at least one identifier when the request succeeds; a device that
      // names none cannot be matched to a controller and is skipped.
      if (identifiers.empty()) return false;
      handle->controllerId = identifiers.front();
      return true;
    }
    std::deque<vesk_guid>& queue = IdentifierQueue();
    if (queue.empty()) {
      std::vector<vesk_guid> identifiers = temporary.GetControllerIdentifiers(*handle);
      queue.insert(queue.end(), identifiers.begin(), identifiers.end());
    }
    if (queue.empty()) return false;
    handle->controllerId = queue.front();
    queue.pop_front();
    return true;
  } catch (const VeskException&) {
    throw;
  } catch (...) {
    return false;
  }
}

std::deque<vesk_guid>& ControllerDeviceBuilder::IdentifierQueue() {
  static std::deque<vesk_guid> queue;
  return queue;
}

}  // namespace Vesk
