#include "simulator/DriverRecords.h"

#include <algorithm>

namespace vesk::sim::wire {

void PutGuid(std::uint8_t* p, std::size_t at, const vesk_guid& id) {
  Put32(p, at, id.group1);
  Put16(p, at + 4, id.group2);
  Put16(p, at + 6, id.group3);
  Put16(p, at + 8, id.group4);
  std::copy(id.group5, id.group5 + 6, p + at + 10);
}

vesk_guid GetGuid(const std::uint8_t* p, std::size_t at) {
  vesk_guid id{};
  id.group1 = Get32(p, at);
  id.group2 = Get16(p, at + 4);
  id.group3 = Get16(p, at + 6);
  id.group4 = Get16(p, at + 8);
  std::copy(p + at + 10, p + at + 16, id.group5);
  return id;
}

void PutText(std::uint8_t* p, std::size_t at, std::size_t width, const std::string& text) {
  std::fill(p + at, p + at + width, 0);
  std::copy_n(text.begin(), std::min(width, text.size()), p + at);
}

std::string GetText(const std::uint8_t* p, std::size_t at, std::size_t width) {
  std::size_t n = 0;
  while (n < width && p[at + n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p + at), n);
}

std::size_t ControllerRecordSize(std::uint32_t api) { return api == 0 ? 335 : api < 3 ? 370 : 403; }

std::size_t VolumeRecordSize(std::uint32_t api) { return api < 2 ? 94 : 98; }

std::size_t DriveRecordSize(std::uint32_t api) {
  static constexpr std::size_t kSizes[] = {167, 206, 207, 258};
  return kSizes[std::min<std::uint32_t>(api, 3)];
}

std::uint16_t ProgressPercent(const Volume& v) {
  if (!v.task || v.task->durationMs == 0) return 0;
  return static_cast<std::uint16_t>(
      std::min<std::uint64_t>(100, v.task->elapsedMs * 100 / v.task->durationMs));
}

namespace {

void PutVersion(std::uint8_t* p, std::size_t at, const Vesk::vesk_version_quad& v) {
  Put16(p, at, v.major);
  Put16(p, at + 2, v.minor);
  Put16(p, at + 4, v.build);
  Put16(p, at + 6, v.revision);
}

std::uint8_t Bit(bool set, int bit) { return set ? static_cast<std::uint8_t>(1u << bit) : 0; }

// Older forms pack a PCIe link into one byte: the rate in bits 0-2, the width in bits 3-7.
std::uint8_t PackedLink(const Drive& d) {
  return static_cast<std::uint8_t>((d.pciLinkRate & 0x07) | (d.pciLinkWidth << 3));
}

}  // namespace

void WriteController(std::uint8_t* r, const Controller& c, std::uint32_t /*api*/) {
  // The three forms share offsets 0..334; 1.0 drivers stop there, 2.0 and 3.0 add the fields at
  // 335..369 (left zero here), 4.0 adds 370..402 (zero as well).
  PutGuid(r, 0, c.id);
  PutText(r, 16, 256, c.name);
  Put16(r, 272, c.vendorId);
  Put16(r, 274, c.deviceId);
  Put16(r, 276, c.subsystemId);
  Put8(r, 278, c.hardwareRevision);
  // Bit 0 says the operating-system driver is loaded, which it always is when it answers.
  Put8(r, 279, static_cast<std::uint8_t>(Bit(c.preosDriverLoaded, 7) | 0x01));
  PutVersion(r, 280, c.osDriverVersion);
  PutVersion(r, 288, c.preosDriverVersion);
  Put16(r, 296, c.maxVolumesPerArray);
  Put16(r, 298, c.maxVolumesPerController);
  Put16(r, 300, c.maxDrivesPerController);
  Put8(r, 302, static_cast<std::uint8_t>(Bit(c.readPatrolEnabled, 6) | Bit(c.rohiEnabled, 7)));
  Put8(r, 303, c.type);
  if (c.type == 0) Put8(r, 304, static_cast<std::uint8_t>(c.mode << 5));
}

void WriteArray(std::uint8_t* r, const Controller& c, const Array& a) {
  PutGuid(r, 0, a.id);
  PutText(r, 16, 20, a.name);
  Put64(r, 36, c.ArrayTotalSize(a));
  Put64(r, 44, c.ArrayFreeSize(a));
  Put8(r, 52, Bit(a.writeCacheEnabled, 7));
}

void WriteVolume(std::uint8_t* r, const Controller& c, const Volume& v, std::uint32_t /*api*/) {
  // 1.0 and 2.0 drivers write the first 94 bytes only; the 4 bytes after the journaling drive
  // are a 3.0 addition that the simulator leaves zero.
  const Array* array = nullptr;
  std::uint8_t ordinal = 0;
  for (const auto& a : c.arrays)
    if (a.id == v.arrayId) array = &a;
  for (const auto& other : c.volumes) {
    if (&other == &v) break;
    if (other.arrayId == v.arrayId) ++ordinal;
  }
  PutGuid(r, 0, v.id);
  PutGuid(r, 16, v.arrayId);
  Put8(r, 32, ordinal);
  PutText(r, 33, 16, v.name);
  Put8(r, 49, v.state);
  Put8(r, 50, v.raidLevel);
  Put64(r, 51, v.size);
  Put16(r, 59, v.stripSize);
  Put8(r, 61,
       static_cast<std::uint8_t>(array ? std::min<std::size_t>(array->drives.size(), 255) : 0));
  Put16(r, 62, ProgressPercent(v));
  bool migrating = v.task && v.task->kind == Task::Kind::Migration;
  Put8(r, 64,
       static_cast<std::uint8_t>(Bit(v.systemVolume, 5) | Bit(migrating, 6) |
                                 Bit(v.initialized, 7)));
  Put32(r, 65, v.verifyErrors);
  Put32(r, 69, v.verifyBadBlocks);
  Put32(r, 73, v.logicalBlockSize);
  Put8(r, 77, static_cast<std::uint8_t>((v.rwhPolicy & 0x0F) | (v.cachePolicy << 4)));
  PutGuid(r, 78, v.journalingDriveId);
}

void WriteDrive(std::uint8_t* r, const Controller& c, const Drive& d, std::uint32_t api) {
  PutGuid(r, 0, d.id);
  const Array* array = nullptr;
  std::uint8_t position = 0xFF;
  for (const auto& a : c.arrays) {
    auto it = std::find(a.drives.begin(), a.drives.end(), d.id);
    if (it != a.drives.end()) {
      array = &a;
      position = static_cast<std::uint8_t>(it - a.drives.begin());
    }
  }
  if (array) PutGuid(r, 16, array->id);
  if (api < 3) PutGuid(r, 32, c.id);  // older forms name the controller here
  PutText(r, 48, 20, d.serialNumber);
  PutText(r, 68, 40, d.modelNumber);
  PutText(r, 108, 8, d.firmwareRevision);
  Put64(r, 116, d.blocks);
  Put32(r, 124, d.logicalBlockSize);
  Put32(r, 128, d.physicalBlockSize);
  Put8(r, 132, d.status);
  Put8(r, 133, c.UsageOf(d));
  std::uint8_t flags = static_cast<std::uint8_t>(
      Bit(d.containsPartition, 2) | Bit(d.ledActive, 3) | Bit(d.writeCacheEnabled, 4) |
      Bit(d.preBootVisible, 5) | Bit(d.activateLedSupport, 6) | Bit(d.systemDrive, 7));
  bool nvme = d.type == 3;

  if (api == 0) {
    // 1.0: no partition or LED bits, no volume location; the type sits at 135 and every later
    // field is two bytes lower than in the 2.0 form. NVMe drives are type 2 with the short
    // connection part (no socket, Dorn controller, root port or slot).
    Put8(r, 134, flags & 0xF0);
    Put8(r, 135, nvme ? 2 : d.type);
    if (nvme) {
      Put16(r, 136, d.pciVendorId);
      Put8(r, 138,
           static_cast<std::uint8_t>(Bit(d.sbrAttached, 5) | Bit(d.dualControllerOrder != 0, 6) |
                                     Bit(d.dualControllerNvme, 7)));
      Put8(r, 147, PackedLink(d));
      Put8(r, 148, PackedLink(d));
    } else {
      Put8(r, 136, d.portNumber);
      if (d.type == 1)
        Put8(r, 137,
             static_cast<std::uint8_t>((d.sataLinkRate & 0x3F) | Bit(d.isSsd, 6) |
                                       Bit(d.ncqSupport, 7)));
    }
    return;
  }

  Put8(r, 134, flags);
  Put8(r, 135, position);
  Put8(r, 136, 0);
  Put8(r, 137, d.type);
  if (nvme) {
    Put16(r, 138, d.pciVendorId);
    Put8(r, 140,
         static_cast<std::uint8_t>(Bit(d.sbrAttached, 5) | Bit(d.dualControllerOrder != 0, 6) |
                                   Bit(d.dualControllerNvme, 7)));
    Put16(r, 149, d.socketNumber);
    Put16(r, 151, d.dornControllerNumber);
    Put16(r, 153, d.rootPortOffset);
    Put64(r, 155, d.physicalSlotNumber);
    if (api < 3) {
      // 2.0 and 3.0 pack each link (negotiated, then the drive's maximum) into one byte.
      Put8(r, 163, PackedLink(d));
      Put8(r, 164, PackedLink(d));
    } else {
      Put8(r, 163, d.pciLinkRate);
      Put8(r, 164, d.pciLinkWidth);
      Put8(r, 165, d.pciLinkRate);
      Put8(r, 166, d.pciLinkWidth);
    }
  } else {
    Put8(r, 138, d.portNumber);
    if (d.type == 1)
      Put8(r, 139,
           static_cast<std::uint8_t>((d.sataLinkRate & 0x3F) | Bit(d.isSsd, 6) |
                                     Bit(d.ncqSupport, 7)));
  }
  if (api == 3) {
    PutText(r, 187, 30, d.serviceLabel);
    Put8(r, 239, d.encryptionAbility);
    Put8(r, 240, d.encryptionStatus);
  }
}

void WriteExecutorInformation(std::uint8_t* answer, const Controller& c) {
  Put16(answer, 0, c.specMajor);
  Put16(answer, 2, 0);
  PutVersion(answer, 4, c.osDriverVersion);
}

std::vector<std::uint8_t> CapabilitiesAnswer(const Controller& c, bool legacy) {
  std::vector<std::uint8_t> out(1, static_cast<std::uint8_t>(c.raidLevels.size()));
  for (const auto& cap : c.raidLevels) {
    std::size_t at = out.size();
    out.resize(at + (legacy ? 10 : 12 + 2 * cap.migrations.size()));
    std::uint8_t* p = out.data();
    Put8(p, at, cap.level);
    Put16(p, at + 1, cap.minDrives);
    Put16(p, at + 3, cap.maxDrives);
    Put8(p, at + 5, static_cast<std::uint8_t>(Bit(cap.oddCount, 6) | Bit(cap.evenCount, 7)));
    Put16(p, at + 6, cap.defaultStripSize);
    Put16(p, at + 8, cap.stripSizeMask);
    if (legacy) continue;
    Put16(p, at + 10, static_cast<std::uint16_t>(cap.migrations.size()));
    for (std::size_t i = 0; i < cap.migrations.size(); ++i) {
      Put8(p, at + 12 + 2 * i, cap.migrations[i].targetLevel);
      Put8(p, at + 13 + 2 * i, cap.migrations[i].minAdditionalDrives);
    }
  }
  return out;
}

}  // namespace vesk::sim::wire
