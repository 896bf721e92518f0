#include "vesk_managed/Drive.h"

#include "managed/Text.h"

namespace VESK_Managed {

using detail::DecodeText;
using detail::Trim;

namespace {

// Managed and native enumerations carry the same numbers.
template <typename Managed, typename Native>
Managed ByNumber(Native value) {
  return static_cast<Managed>(value);
}

}  // namespace

Scsi::Scsi(std::uint8_t host, std::uint8_t bus, std::uint8_t target, std::uint8_t lun)
    : host(host), bus(bus), target(target), lun(lun) {}

Scsi::Scsi(const Vesk::Scsi& native)
    : Scsi(native.GetHost(), native.GetBus(), native.GetTarget(), native.GetLun()) {}

int Scsi::CompareTo(const System::Object* obj) const {
  if (obj == nullptr) return 1;
  const auto* other = dynamic_cast<const Scsi*>(obj);
  if (other == nullptr) throw System::ArgumentException("Object is not Scsi.");
  const std::uint8_t mine[] = {host, bus, target, lun};
  const std::uint8_t theirs[] = {other->host, other->bus, other->target, other->lun};
  for (int i = 0; i < 4; ++i) {
    if (mine[i] != theirs[i]) return mine[i] < theirs[i] ? -1 : 1;
  }
  return 0;
}

void Scsi::SetPart(std::uint8_t& field, std::uint8_t value, const char* name) {
  field = value;
  OnPropertyChanged(name);
  OnPropertyChanged("ScsiAddress");
}

Drive::Drive(const Vesk::Drive& record)
    : id(record.id),
      arrayId(record.arrayId),
      controllerId(record.controllerId),
      scsiAddress(std::make_shared<Scsi>(record.scsiAddress)),
      serialNumber(DecodeText(record.serialNumber, Trim::BothEnds)),
      serviceLabel(DecodeText(record.serviceLabel, Trim::BothEnds)),
      modelNumber(DecodeText(record.modelNumber, Trim::BothEnds)),
      firmwareRevision(DecodeText(record.firmwareRevision, Trim::BothEnds)),
      size(record.size),
      logicalBlockSize(record.logicalBlockSize),
      physicalBlockSize(record.physicalBlockSize),
      totalSize(record.totalSize),
      status(ByNumber<vesk_drive_status>(record.status)),
      encryptionAbility(ByNumber<vesk_encryption_ability>(record.encryptionAbility)),
      encryptionStatus(ByNumber<vesk_encryption_status>(record.encryptionStatus)),
      usage(ByNumber<vesk_drive_usage>(record.usage)),
      // Taken at construction too, so that a new drive shows its partition and volume
      // locations before the first refresh that sees a difference.
      containsPartition(record.containsPartition()),
      ledActive(record.ledActive()),
      writeCacheEnabled(record.writeCacheEnabled()),
      preBootVisible(record.preBootVisible()),
      activateLedSupport(record.activateLedSupport()),
      systemDrive(record.systemDrive()),
      volumeLocation0(record.volumeLocation0),
      volumeLocation1(record.volumeLocation1),
      type(ByNumber<vesk_drive_type>(record.type)) {}

Drive::Drive(const Guid& id) : id(id) {}

void Drive::Update(const Vesk::Drive& record) {
  UpdateProperty(arrayId, Guid(record.arrayId), "ArrayId");
  UpdateProperty(controllerId, Guid(record.controllerId), "ControllerId");
  const Vesk::Scsi address = record.scsiAddress;
  if (!scsiAddress) {
    // A drive made from its identifier alone has no address to update in place.
    SetProperty(scsiAddress, std::make_shared<Scsi>(address), "ScsiAddress");
  } else {
    Scsi& scsi = *scsiAddress;
    if (scsi.Host() != address.host) scsi.SetHost(address.host);
    if (scsi.Bus() != address.bus) scsi.SetBus(address.bus);
    if (scsi.Target() != address.target) scsi.SetTarget(address.target);
    if (scsi.Lun() != address.lun) scsi.SetLun(address.lun);
  }
  UpdateProperty(firmwareRevision, DecodeText(record.firmwareRevision, Trim::BothEnds),
                 "FirmwareRevision");
  if (UpdateProperty(size, std::uint64_t{record.size}, "Size")) {
    SetProperty(totalSize, std::uint64_t{record.totalSize}, "TotalSize");
  }
  if (UpdateProperty(logicalBlockSize, std::uint32_t{record.logicalBlockSize},
                     "LogicalBlockSize")) {
    SetProperty(totalSize, std::uint64_t{record.totalSize}, "TotalSize");
  }
  UpdateProperty(status, ByNumber<vesk_drive_status>(record.status), "Status");
  UpdateProperty(encryptionAbility, ByNumber<vesk_encryption_ability>(record.encryptionAbility),
                 "EncryptionAbility");
  UpdateProperty(encryptionStatus, ByNumber<vesk_encryption_status>(record.encryptionStatus),
                 "EncryptionStatus");
  UpdateProperty(usage, ByNumber<vesk_drive_usage>(record.usage), "Usage");
  UpdateProperty(systemDrive, record.systemDrive(), "SystemDrive");
  UpdateProperty(volumeLocation0, std::uint8_t{record.volumeLocation0}, "VolumeLocation0");
  UpdateProperty(volumeLocation1, std::uint8_t{record.volumeLocation1}, "VolumeLocation1");
  UpdateProperty(activateLedSupport, record.activateLedSupport(), "ActivateLedSupport");
  UpdateProperty(preBootVisible, record.preBootVisible(), "PreBootVisible");
  UpdateProperty(containsPartition, record.containsPartition(), "ContainsPartition");
  UpdateProperty(ledActive, record.ledActive(), "LedActive");
  UpdateProperty(writeCacheEnabled, record.writeCacheEnabled(), "WriteCacheEnabled");
}

SataDrive::SataDrive(const Vesk::Drive& record)
    : Drive(record),
      portNumber(record.portNumber()),
      negotiatedLinkRate(ByNumber<vesk_ata_negotiated_link_rate>(record.ataNegotiatedLinkRate())),
      ncqSupport(record.ncqSupport()),
      isSsd(record.isSsd()) {}

void SataDrive::Update(const Vesk::Drive& record) {
  Drive::Update(record);
  UpdateProperty(portNumber, record.portNumber(), "PortNumber");
  UpdateProperty(negotiatedLinkRate,
                 ByNumber<vesk_ata_negotiated_link_rate>(record.ataNegotiatedLinkRate()),
                 "NegotiatedLinkRate");
  UpdateProperty(ncqSupport, record.ncqSupport(), "NcqSupport");
  UpdateProperty(isSsd, record.isSsd(), "IsSsd");
}

SataOpticalDrive::SataOpticalDrive(const Vesk::Drive& record)
    : Drive(record), portNumber(record.portNumber()) {}

void SataOpticalDrive::Update(const Vesk::Drive& record) {
  Drive::Update(record);
  UpdateProperty(portNumber, record.portNumber(), "PortNumber");
}

DornDrive::DornDrive(const Vesk::Drive& record)
    : Drive(record),
      negotiatedLinkRate(ByNumber<vesk_pci_link_rate>(record.pciNegotiatedLinkRate())),
      sbrAttached(record.sbrAttached()),
      vendorId(record.vendorId()),
      negotiatedLinkWidth(record.negotiatedLinkWidth()),
      dualControllerOrder(ByNumber<vesk_dual_controller_order>(record.dualControllerOrder())),
      dualControllerNvme(record.dualControllerNvme()),
      socketNumber(record.socketNumber()),
      dornControllerNumber(record.dornControllerNumber()),
      rootPortOffset(record.rootPortOffset()),
      physicalSlotNumber(record.physicalSlotNumber()) {}

void DornDrive::Update(const Vesk::Drive& record) {
  Drive::Update(record);
  UpdateProperty(dualControllerNvme, record.dualControllerNvme(), "DualControllerNvme");
  UpdateProperty(dualControllerOrder,
                 ByNumber<vesk_dual_controller_order>(record.dualControllerOrder()),
                 "DualControllerOrder");
  UpdateProperty(sbrAttached, record.sbrAttached(), "SbrAttached");
  UpdateProperty(negotiatedLinkRate, ByNumber<vesk_pci_link_rate>(record.pciNegotiatedLinkRate()),
                 "NegotiatedLinkRate");
  UpdateProperty(vendorId, record.vendorId(), "VendorId");
  UpdateProperty(socketNumber, record.socketNumber(), "SocketNumber");
  UpdateProperty(dornControllerNumber, record.dornControllerNumber(), "DornControllerNumber");
  UpdateProperty(rootPortOffset, record.rootPortOffset(), "RootPortOffset");
  UpdateProperty(physicalSlotNumber, record.physicalSlotNumber(), "PhysicalSlotNumber");
}

}  // namespace VESK_Managed
