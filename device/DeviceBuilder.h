// Discovery of the controller devices that the RAID driver presents.
//
// A discovery walks the present SCSI-adapter devices of the machine, keeps those whose
// manufacturer and driver service say they belong to this RAID stack, opens each one, wraps it in
// a device handle and learns from the driver which controller identifier belongs to it. It runs
// on the caller's thread. Controller discoveries in one process take turns (a process-wide lock
// held for the whole discovery), since they share the identifier queue below; any number of
// facades on any threads may discover at once.
//
// A device left out because something failed (a property that cannot be read, a device that
// cannot be opened, an identifier request that fails) is reported on the debugger output
// (OutputDebugStringW) with the reason; docs/architecture.md lists the lines.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "device/DeviceHandle.h"
#include "platform/win32.h"
#include "vesk/Types.h"

namespace Vesk {

using DeviceHandles = std::vector<std::shared_ptr<DeviceHandle>>;

// Builds a plain device handle for every device of one enumeration, with no filter.
class DeviceBuilder {
 public:
  DeviceBuilder() = default;
  virtual ~DeviceBuilder();
  DeviceBuilder(const DeviceBuilder&) = delete;
  DeviceBuilder& operator=(const DeviceBuilder&) = delete;

  // Walks the present SCSI adapters and calls Build for each; `result` receives the kept handles
  // in enumeration order. Throws TaluException for the last-error failures of Build. Adapters
  // that cannot be listed leave `result` as it is, with a debugger line.
  void Enumerate(DeviceHandles& result);

  // Appends zero or one handle for one device of the set.
  virtual void Build(DeviceHandles& result, HDEVINFO set, SP_DEVINFO_DATA& element);

  // "\\?\Global\GlobalRoot" followed by the physical device object name.
  static std::wstring DevicePath(std::wstring_view pdoName);
  // CreateFile2 for read and write, shared, existing; null or INVALID_HANDLE_VALUE on failure.
  // A device handle opens its device again with it after a refused removal.
  static HANDLE Open(const std::wstring& path);

 protected:
  // Reads a string property into a 2048-byte buffer; false when it cannot be read (absent,
  // longer than the buffer, not a string).
  static bool ReadStringProperty(HDEVINFO set, SP_DEVINFO_DATA& element, const DEVPROPKEY& key,
                                 std::wstring& value);
  // Ends discovery with TaluException when the thread's last error says the device's mutex cannot
  // be had (5, 6, 161); any other value lets discovery go on.
  static void CheckLastError();

  // Position in the enumeration of the device being built, for debugger lines.
  DWORD position = 0;
};

// Builds a controller handle (VeskControllerHandle) for every device of this RAID stack, with the
// controller identifier the driver reports for it.
class ControllerDeviceBuilder : public DeviceBuilder {
 public:
  // Driver service names that mark a controller device; the row decides how its identifier is
  // learned (rows below kFirstQueuedRow take the first identifier the device reports, the others
  // share one queue).
  static constexpr std::wstring_view kDriverTable[] = {L"zrDiskE", L"zrDiskB", L"zrDiskT",
                                                       L"zrTalu", L"zrTaluP"};
  static constexpr std::uint16_t kFirstQueuedRow = 3;
  static constexpr std::wstring_view kManufacturer = L"Korva Corporation";
  static constexpr std::size_t kMaxControllerDevices = 255;

  ControllerDeviceBuilder() = default;

  // As DeviceBuilder::Enumerate, then sorts the handles by driver-table row (stable) and numbers
  // them 0, 1, ... in that order. More than 255 devices: TaluException "Too many controller
  // devices retrieved.". A VeskException while identifying a controller (the driver refused the
  // identifier request) ends discovery. Waits for any other controller discovery of the process.
  void Enumerate(DeviceHandles& result);

  void Build(DeviceHandles& result, HDEVINFO set, SP_DEVINFO_DATA& element) override;

  // Learns the controller identifier of the device opened for driver-table row `row` and stores
  // it in `handle`. False when the device cannot say, after a debugger line with the reason (its
  // handle is then to be dropped, which closes its file handle); the thread's last error is then
  // as it was before the request. A VeskException (driver status) propagates. Called by Build
  // within Enumerate, which holds the process's discovery turn.
  bool IdentifyController(std::uint16_t row, HANDLE open,
                          const std::shared_ptr<VeskControllerHandle>& handle);

  // Identifiers reported by a queued-row device and not handed out yet. One per process, created
  // on first use; identifiers left here go to the queued-row devices of later discoveries. Only
  // discoveries use it, under their turn; anyone else must touch it while no discovery runs.
  static std::deque<vesk_guid>& IdentifierQueue();

  // When true (always, in the library), every device is identified before its handle is kept.
  bool identifyControllers = true;
};

}  // namespace Vesk
