// Managed drives: the base Drive and its SATA disk, SATA optical and NVMe (Dorn) variants, and
// the SCSI address they carry. Not synchronized: Update runs on one thread at a time and raises
// its notifications on that thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vesk/Records.h"
#include "vesk_managed/Guid.h"
#include "vesk_managed/Shared.h"
#include "vesk_managed/System.h"

namespace VESK_Managed {

class Drive;

// A drive's SCSI address. Each setter raises its own name and then "ScsiAddress" on this object.
class Scsi : public System::ComponentModel::INotifyPropertyChanged {
 public:
  Scsi(std::uint8_t host, std::uint8_t bus, std::uint8_t target, std::uint8_t lun);
  explicit Scsi(const Vesk::Scsi& native);

  std::uint8_t Host() const { return host; }
  std::uint8_t Bus() const { return bus; }
  std::uint8_t Target() const { return target; }
  std::uint8_t Lun() const { return lun; }

  // 1 for null; ArgumentException "Object is not Scsi." for another kind of object; otherwise
  // -1, 0 or 1 by Host, then Bus, Target, Lun.
  int CompareTo(const System::Object* obj) const;

 private:
  friend class Drive;
  void SetHost(std::uint8_t value) { SetPart(host, value, "Host"); }
  void SetBus(std::uint8_t value) { SetPart(bus, value, "Bus"); }
  void SetTarget(std::uint8_t value) { SetPart(target, value, "Target"); }
  void SetLun(std::uint8_t value) { SetPart(lun, value, "Lun"); }
  void SetPart(std::uint8_t& field, std::uint8_t value, const char* name);

  std::uint8_t host;
  std::uint8_t bus;
  std::uint8_t target;
  std::uint8_t lun;
};

class Drive : public System::ComponentModel::INotifyPropertyChanged {
 public:
  const Guid& Id() const { return id; }
  bool IsPlaceholder() const { return status == vesk_drive_status::Placeholder; }
  const Guid& ArrayId() const { return arrayId; }
  const Guid& ControllerId() const { return controllerId; }
  // Null for a drive that carries only its identifier.
  const std::shared_ptr<Scsi>& ScsiAddress() const { return scsiAddress; }
  // Empty for a drive that carries only its identifier.
  const std::wstring& SerialNumber() const { return serialNumber; }
  const std::wstring& ServiceLabel() const { return serviceLabel; }
  const std::wstring& ModelNumber() const { return modelNumber; }
  const std::wstring& FirmwareRevision() const { return firmwareRevision; }
  std::uint64_t Size() const { return size; }
  std::uint32_t LogicalBlockSize() const { return logicalBlockSize; }
  std::uint32_t PhysicalBlockSize() const { return physicalBlockSize; }
  std::uint64_t TotalSize() const { return totalSize; }
  vesk_drive_status Status() const { return status; }
  vesk_encryption_ability EncryptionAbility() const { return encryptionAbility; }
  vesk_encryption_status EncryptionStatus() const { return encryptionStatus; }
  vesk_drive_usage Usage() const { return usage; }
  bool ContainsPartition() const { return containsPartition; }
  bool LedActive() const { return ledActive; }
  bool WriteCacheEnabled() const { return writeCacheEnabled; }
  bool PreBootVisible() const { return preBootVisible; }
  bool ActivateLedSupport() const { return activateLedSupport; }
  bool SystemDrive() const { return systemDrive; }
  std::uint8_t VolumeLocation0() const { return volumeLocation0; }
  std::uint8_t VolumeLocation1() const { return volumeLocation1; }
  vesk_drive_type Type() const { return type; }

  // Takes every changed value from a fresher record of the same drive, raising one name per
  // change; subclasses compare their own properties after the base.
  virtual void Update(const Vesk::Drive& record);

 protected:
  explicit Drive(const Vesk::Drive& record);
  explicit Drive(const Guid& id);

 private:
  Guid id;
  Guid arrayId;
  Guid controllerId;
  std::shared_ptr<Scsi> scsiAddress;
  std::wstring serialNumber;
  std::wstring serviceLabel;
  std::wstring modelNumber;
  std::wstring firmwareRevision;
  std::uint64_t size = 0;
  std::uint32_t logicalBlockSize = 0;
  std::uint32_t physicalBlockSize = 0;
  std::uint64_t totalSize = 0;
  vesk_drive_status status{};
  vesk_encryption_ability encryptionAbility{};
  vesk_encryption_status encryptionStatus{};
  vesk_drive_usage usage{};
  bool containsPartition = false;
  bool ledActive = false;
  bool writeCacheEnabled = false;
  bool preBootVisible = false;
  bool activateLedSupport = false;
  bool systemDrive = false;
  std::uint8_t volumeLocation0 = 0;
  std::uint8_t volumeLocation1 = 0;
  vesk_drive_type type{};
};

class SataDrive : public Drive {
 public:
  explicit SataDrive(const Vesk::Drive& record);
  explicit SataDrive(const Guid& id) : Drive(id) {}

  std::uint8_t PortNumber() const { return portNumber; }
  vesk_ata_negotiated_link_rate NegotiatedLinkRate() const { return negotiatedLinkRate; }
  bool NcqSupport() const { return ncqSupport; }
  bool IsSsd() const { return isSsd; }

  void Update(const Vesk::Drive& record) override;

 private:
  std::uint8_t portNumber = 0;
  vesk_ata_negotiated_link_rate negotiatedLinkRate{};
  bool ncqSupport = false;
  bool isSsd = false;
};

class SataOpticalDrive : public Drive {
 public:
  explicit SataOpticalDrive(const Vesk::Drive& record);
  explicit SataOpticalDrive(const Guid& id) : Drive(id) {}

  std::uint8_t PortNumber() const { return portNumber; }

  void Update(const Vesk::Drive& record) override;

 private:
  std::uint8_t portNumber = 0;
};

// An NVMe drive behind a Dorn controller.
class DornDrive : public Drive {
 public:
  explicit DornDrive(const Vesk::Drive& record);
  explicit DornDrive(const Guid& id) : Drive(id) {}

  vesk_pci_link_rate NegotiatedLinkRate() const { return negotiatedLinkRate; }
  bool SbrAttached() const { return sbrAttached; }
  std::uint16_t VendorId() const { return vendorId; }
  std::uint8_t NegotiatedLinkWidth() const { return negotiatedLinkWidth; }
  vesk_dual_controller_order DualControllerOrder() const { return dualControllerOrder; }
  bool DualControllerNvme() const { return dualControllerNvme; }
  std::uint16_t SocketNumber() const { return socketNumber; }
  std::uint16_t DornControllerNumber() const { return dornControllerNumber; }
  std::uint16_t RootPortOffset() const { return rootPortOffset; }
  std::uint64_t PhysicalSlotNumber() const { return physicalSlotNumber; }

  void Update(const Vesk::Drive& record) override;

 private:
  vesk_pci_link_rate negotiatedLinkRate{};
  bool sbrAttached = false;
  std::uint16_t vendorId = 0;
  std::uint8_t negotiatedLinkWidth = 0;
  vesk_dual_controller_order dualControllerOrder{};
  bool dualControllerNvme = false;
  std::uint16_t socketNumber = 0;
  std::uint16_t dornControllerNumber = 0;
  std::uint16_t rootPortOffset = 0;
  std::uint64_t physicalSlotNumber = 0;
};

}  // namespace VESK_Managed
