#include "simulator/RaidDriver.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "simulator/DriverRecords.h"
#include "simulator/RaidDriverRequest.h"

namespace vesk::sim {

using namespace wire;

namespace {

constexpr char kManagementSignature[8] = {'T', 'A', 'L', 'U', 'M', 'g', 'm', 't'};
constexpr char kOutOfBandSignature[8] = {'T', 'A', 'L', 'U', ' ', 'O', 'O', 'B'};

IoResult Failed(DWORD error) { return IoResult{false, 0, error}; }

// Services whose devices learn their controller identifier from a queue shared by all devices of
// the driver: such a device reports every controller of those services, not only its own.
bool QueuedService(const std::wstring& service) {
  return service == L"zrTalu" || service == L"zrTaluP";
}

}  // namespace

RaidDriver::RaidDriver(Topology model) : topology(std::move(model)) {
  lastRequest = std::chrono::steady_clock::now();
}

std::shared_ptr<RaidDriver> RaidDriver::FromFile(const std::string& path) {
  return std::make_shared<RaidDriver>(LoadTopologyFile(path));
}

// ------------------------------------------------------------------------------------------------
// Framing and faults
// ------------------------------------------------------------------------------------------------

IoResult RaidDriver::Control(const IoControl& call) {
  if (call.controlCode != IOCTL_SCSI_MINIPORT) return Failed(ERROR_INVALID_FUNCTION);
  if (call.in == nullptr || call.out == nullptr || call.inSize < kHeaderLength ||
      call.outSize < kHeaderLength)
    return Failed(ERROR_INVALID_PARAMETER);

  // Buffered I/O: the driver works on a system copy as large as the larger of the two buffers.
  std::vector<std::uint8_t> buffer(std::max(call.inSize, call.outSize));
  std::memcpy(buffer.data(), call.in, call.inSize);
  std::uint32_t length = Get32(buffer.data(), kLengthOffset);
  if (Get32(buffer.data(), 0) != kHeaderLength || length > buffer.size() - kHeaderLength)
    return Failed(ERROR_INVALID_PARAMETER);

  Request request;
  request.pdoName = call.pdoName;
  request.buf = buffer.data();
  request.size = kHeaderLength + length;
  request.function = Get32(buffer.data(), kControlCodeOffset);
  const std::uint8_t* signature = buffer.data() + kSignatureOffset;
  request.outOfBand = std::memcmp(signature, kOutOfBandSignature, 8) == 0;
  bool management = std::memcmp(signature, kManagementSignature, 8) == 0;

  std::optional<Fault> fault;
  {
    std::lock_guard lock(mutex);
    if (management || request.outOfBand) ++requestCounts[{request.function, request.outOfBand}];
    for (auto it = faults.begin(); it != faults.end(); ++it) {
      if (it->functionCode != request.function || it->outOfBand != request.outOfBand) continue;
      if (!management && !request.outOfBand) continue;
      if (!it->pdoName.empty() && it->pdoName != call.pdoName) continue;
      fault = *it;
      if (it->count > 0 && --it->count == 0) faults.erase(it);
      break;
    }
  }

  if (fault) {
    switch (fault->kind) {
      case Fault::Kind::Busy:
        return Failed(ERROR_BUSY);
      case Fault::Kind::DeviceFailure:
        return Failed(fault->value != 0 ? fault->value : ERROR_IO_DEVICE);
      case Fault::Kind::RemoveDevice: {
        std::function<void(const std::wstring&)> handler;
        {
          std::lock_guard lock(mutex);
          handler = removalHandler;
        }
        if (handler) handler(call.pdoName);
        return Failed(fault->value != 0 ? fault->value : ERROR_DEVICE_NOT_CONNECTED);
      }
      case Fault::Kind::Status:
      case Fault::Kind::ReturnCode:
        Put32(buffer.data(), kReturnCodeOffset, fault->value);
        std::memcpy(call.out, buffer.data(), call.outSize);
        return IoResult{true, static_cast<DWORD>(std::min<std::size_t>(call.outSize, request.size)),
                        ERROR_SUCCESS};
      case Fault::Kind::Delay:
        std::this_thread::sleep_for(std::chrono::milliseconds(fault->value));
        break;
      default:
        break;
    }
  }

  {
    std::lock_guard lock(mutex);
    if (realTime) {
      auto now = std::chrono::steady_clock::now();
      Advance(static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(now - lastRequest).count()));
      lastRequest = now;
    }
    if (request.outOfBand) {
      OutOfBand(request);
    } else if (!management) {
      Put32(request.buf, kReturnCodeOffset,
            static_cast<std::uint32_t>(DriverStatus::InvalidRequest));
    } else {
      DriverStatus status = Dispatch(request);
      Put32(request.buf, kReturnCodeOffset, static_cast<std::uint32_t>(status));
      if (status == DriverStatus::Success && fault) ApplyAnswerFault(*fault, request);
    }
  }
  std::memcpy(call.out, buffer.data(), call.outSize);
  return IoResult{true, static_cast<DWORD>(std::min<std::size_t>(call.outSize, request.size)),
                  ERROR_SUCCESS};
}

void RaidDriver::ApplyAnswerFault(const Fault& fault, Request& r) {
  std::uint8_t* b = r.buf;
  if (r.shape == Request::Shape::List) {
    std::size_t capacity = (r.size - kListEntriesOffset) / r.entrySize;
    std::uint16_t count = Get16(b, kPayloadOffset);
    if (fault.kind == Fault::Kind::CountBeyondBuffer) {
      Put16(b, kPayloadOffset,
            static_cast<std::uint16_t>(std::min<std::size_t>(capacity + 1, 0xFFFF)));
    } else if (fault.kind == Fault::Kind::ZeroIdentifier && count > 0) {
      std::size_t index = std::min<std::size_t>(fault.value, count - 1u);
      std::fill_n(b + kListEntriesOffset + index * r.entrySize, 16, 0);
    }
  } else if (r.shape == Request::Shape::Capabilities) {
    if (fault.kind == Fault::Kind::CountBeyondBuffer) {
      Put8(b, kPayloadOffset, 6);  // one more than any capabilities buffer holds
    } else if (fault.kind == Fault::Kind::DescriptorOverrun) {
      std::size_t at = kPayloadOffset + 1, last = at;
      std::uint8_t count = b[kPayloadOffset];
      if (r.legacyCapabilities) {
        Put8(b, kPayloadOffset, static_cast<std::uint8_t>((r.size - at) / 10 + 1));
        return;
      }
      if (count == 0) Put8(b, kPayloadOffset, count = 1);
      for (std::uint8_t i = 0; i < count; ++i) {
        last = at;
        at += 12 + 2 * std::size_t{Get16(b, at + 10)};
      }
      Put16(b, last + 10, static_cast<std::uint16_t>((r.size - (last + 12)) / 2 + 1));
    }
  }
}

// ------------------------------------------------------------------------------------------------
// Dispatch
// ------------------------------------------------------------------------------------------------

DriverStatus RaidDriver::Dispatch(Request& r) {
  if (r.size < kPayloadOffset) return DriverStatus::InvalidRequest;
  r.api = Get32(r.buf, kApiVersionOffset);
  if (r.api > 3) return DriverStatus::UnsupportedApiVersion;
  r.device = topology.ControllerOfPdo(r.pdoName);
  if (r.device == nullptr) return DriverStatus::ControllerNotFound;
  // A driver writes the layout it knows: an older driver answers in its own, older form even
  // when asked for a newer one.
  r.layout = std::min(r.api, r.device->ApiVersion());
  if ((r.function & 0xFFFFC000u) == 0x44000) return Query(r);
  if ((r.function & 0xFFFFC000u) == 0x48000) return Command(r);
  return DriverStatus::InvalidRequest;
}

DriverStatus RaidDriver::Query(Request& r) {
  switch (r.function) {
    case function::kGetControllerInfo:
      return ControllerInfo(r);
    case function::kGetControllerIdentifiers:
      return ControllerIdentifiers(r);
    case function::kGetControllerCapabilities:
      return Capabilities(r);
    case function::kGetDriveInfo:
      return DriveList(r, false);
    case function::kGetDriveIdentifiers:
      return DriveList(r, true);
    case function::kGetVolumeInfo:
      return VolumeList(r, false);
    case function::kGetVolumeIdentifiers:
      return VolumeList(r, true);
    case function::kGetArrayInfo:
      return ArrayList(r, false);
    case function::kGetArrayIdentifiers:
      return ArrayList(r, true);
    case function::kGetExecutorInformation:
      if (r.size < kPayloadOffset + kExecutorAnswerSize) return DriverStatus::BufferTooSmall;
      std::fill(r.buf + kPayloadOffset, r.buf + r.size, 0);
      WriteExecutorInformation(r.buf + kPayloadOffset, *r.device);
      return DriverStatus::Success;
    case function::kGetEvents:
      return Events(r);
    default:
      return DriverStatus::InvalidRequest;
  }
}

// ------------------------------------------------------------------------------------------------
// Queries
// ------------------------------------------------------------------------------------------------

namespace {

constexpr std::size_t kScopeRecordSize = 49;

}  // namespace

DriverStatus RaidDriver::Request::ReadScope() {
  if (size < kScopeRecordSize) return DriverStatus::InvalidRequest;
  if (buf[kPayloadOffset] & 0xF8) return DriverStatus::InvalidScope;
  scope = buf[kPayloadOffset] & 0x07;
  scopeId = GetGuid(buf, kPayloadOffset + 1);
  if (scope == 0 && !scopeId.IsEmpty()) return DriverStatus::InvalidScope;
  return DriverStatus::Success;
}

DriverStatus RaidDriver::Request::WriteList(
    std::size_t count, std::size_t recordSize,
    const std::function<void(std::uint8_t*, std::size_t)>& write) {
  std::fill(buf + kPayloadOffset, buf + size, 0);
  shape = Shape::List;
  entrySize = recordSize;
  // The count goes out even when the entries do not fit, so that a caller can size its buffer.
  Put16(buf, kPayloadOffset, static_cast<std::uint16_t>(std::min<std::size_t>(count, 0xFFFF)));
  if (kListEntriesOffset + count * recordSize > size) return DriverStatus::BufferTooSmall;
  for (std::size_t i = 0; i < count; ++i) write(buf + kListEntriesOffset + i * recordSize, i);
  return DriverStatus::Success;
}

// Resolves scope 0 (the device's own controller) and scope 1 (a controller of this driver).
DriverStatus RaidDriver::Request::ScopedController(Topology& t, Controller*& out) {
  if (scope == 0) {
    out = device;
    return DriverStatus::Success;
  }
  if (scope != 1) return DriverStatus::InvalidScope;
  out = t.FindController(scopeId);
  return out ? DriverStatus::Success : DriverStatus::ControllerNotFound;
}

DriverStatus RaidDriver::ControllerInfo(Request& r) {
  if (auto s = r.ReadScope(); s != DriverStatus::Success) return s;
  Controller* c = nullptr;
  if (auto s = r.ScopedController(topology, c); s != DriverStatus::Success) return s;
  std::uint32_t layout = std::min(r.api, c->ApiVersion());
  return r.WriteList(1, ControllerRecordSize(layout),
                     [&](std::uint8_t* rec, std::size_t) { WriteController(rec, *c, layout); });
}

DriverStatus RaidDriver::ControllerIdentifiers(Request& r) {
  if (auto s = r.ReadScope(); s != DriverStatus::Success) return s;
  if (r.scope != 0) return DriverStatus::InvalidScope;
  std::vector<vesk_guid> ids;
  if (QueuedService(r.device->service)) {
    for (const auto& c : topology.controllers)
      if (QueuedService(c.service)) ids.push_back(c.id);
  } else {
    ids.push_back(r.device->id);
  }
  return r.WriteList(ids.size(), 16,
                     [&](std::uint8_t* rec, std::size_t i) { PutGuid(rec, 0, ids[i]); });
}

DriverStatus RaidDriver::Capabilities(Request& r) {
  if (r.size < kPayloadOffset + 16) return DriverStatus::InvalidRequest;
  Controller* c = topology.FindController(GetGuid(r.buf, kPayloadOffset));
  if (c == nullptr) return DriverStatus::ControllerNotFound;
  r.legacyCapabilities = std::min(r.api, c->ApiVersion()) == 0;
  std::vector<std::uint8_t> answer = CapabilitiesAnswer(*c, r.legacyCapabilities);
  std::fill(r.buf + kPayloadOffset, r.buf + r.size, 0);
  if (kPayloadOffset + answer.size() > r.size) return DriverStatus::BufferTooSmall;
  std::copy(answer.begin(), answer.end(), r.buf + kPayloadOffset);
  r.shape = Request::Shape::Capabilities;
  return DriverStatus::Success;
}

DriverStatus RaidDriver::ArrayList(Request& r, bool identifiersOnly) {
  if (auto s = r.ReadScope(); s != DriverStatus::Success) return s;
  Controller* c = nullptr;
  std::vector<const Array*> list;
  if (r.scope == 2) {
    for (auto& candidate : topology.controllers)
      if (Array* a = candidate.FindArray(r.scopeId)) c = &candidate, list.push_back(a);
    if (list.empty()) return DriverStatus::ArrayNotFound;
  } else {
    if (auto s = r.ScopedController(topology, c); s != DriverStatus::Success) return s;
    for (const auto& a : c->arrays) list.push_back(&a);
  }
  if (identifiersOnly)
    return r.WriteList(list.size(), 16,
                       [&](std::uint8_t* rec, std::size_t i) { PutGuid(rec, 0, list[i]->id); });
  return r.WriteList(list.size(), kArrayRecordSize,
                     [&](std::uint8_t* rec, std::size_t i) { WriteArray(rec, *c, *list[i]); });
}

DriverStatus RaidDriver::VolumeList(Request& r, bool identifiersOnly) {
  if (auto s = r.ReadScope(); s != DriverStatus::Success) return s;
  Controller* c = nullptr;
  std::vector<const Volume*> list;
  if (r.scope == 2 || r.scope == 3) {
    for (auto& candidate : topology.controllers) {
      if (r.scope == 2 && candidate.FindArray(r.scopeId)) {
        c = &candidate;
        for (Volume* v : candidate.VolumesOf(r.scopeId)) list.push_back(v);
      } else if (Volume* v = r.scope == 3 ? candidate.FindVolume(r.scopeId) : nullptr) {
        c = &candidate;
        list.push_back(v);
      }
    }
    if (c == nullptr)
      return r.scope == 2 ? DriverStatus::ArrayNotFound : DriverStatus::VolumeNotFound;
  } else {
    if (auto s = r.ScopedController(topology, c); s != DriverStatus::Success) return s;
    for (const auto& v : c->volumes) list.push_back(&v);
  }
  if (identifiersOnly)
    return r.WriteList(list.size(), 16,
                       [&](std::uint8_t* rec, std::size_t i) { PutGuid(rec, 0, list[i]->id); });
  std::uint32_t layout = std::min(r.api, c->ApiVersion());
  return r.WriteList(list.size(), VolumeRecordSize(layout), [&](std::uint8_t* rec, std::size_t i) {
    WriteVolume(rec, *c, *list[i], layout);
  });
}

DriverStatus RaidDriver::DriveList(Request& r, bool identifiersOnly) {
  if (auto s = r.ReadScope(); s != DriverStatus::Success) return s;
  Controller* c = nullptr;
  std::vector<const Drive*> list;
  if (r.scope == 2 || r.scope == 4) {
    for (auto& candidate : topology.controllers) {
      if (r.scope == 2) {
        if (Array* a = candidate.FindArray(r.scopeId)) {
          c = &candidate;
          for (const auto& id : a->drives) list.push_back(candidate.FindDrive(id));
        }
      } else if (Drive* d = candidate.FindDrive(r.scopeId)) {
        c = &candidate;
        list.push_back(d);
      }
    }
    if (c == nullptr)
      return r.scope == 2 ? DriverStatus::ArrayNotFound : DriverStatus::DriveNotFound;
  } else if (r.scope == 3) {
    return DriverStatus::InvalidScope;
  } else {
    if (auto s = r.ScopedController(topology, c); s != DriverStatus::Success) return s;
    for (const auto& d : c->drives) list.push_back(&d);
  }
  if (identifiersOnly)
    return r.WriteList(list.size(), 16,
                       [&](std::uint8_t* rec, std::size_t i) { PutGuid(rec, 0, list[i]->id); });
  std::uint32_t layout = std::min(r.api, c->ApiVersion());
  return r.WriteList(list.size(), DriveRecordSize(layout), [&](std::uint8_t* rec, std::size_t i) {
    WriteDrive(rec, *c, *list[i], layout);
  });
}

DriverStatus RaidDriver::Events(Request& r) {
  constexpr std::size_t kEventSize = 20;
  if (r.size < kPayloadOffset + 20) return DriverStatus::InvalidRequest;
  auto it = subscriptions.find(GetGuid(r.buf, kPayloadOffset));
  if (it == subscriptions.end()) return DriverStatus::SubscriptionNotFound;
  std::size_t limit = Get32(r.buf, kPayloadOffset + 16);
  auto& pending = it->second.pending;
  std::size_t fit = (r.size - kListEntriesOffset) / kEventSize;
  std::size_t count = std::min(pending.size(), fit);
  if (limit != 0) count = std::min(count, limit);
  DriverStatus status = r.WriteList(count, kEventSize, [&](std::uint8_t* rec, std::size_t i) {
    Put8(rec, 0, pending[i].first);
    PutGuid(rec, 4, pending[i].second);
  });
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
  return status;
}

// ------------------------------------------------------------------------------------------------
// Out-of-band requests
// ------------------------------------------------------------------------------------------------

void RaidDriver::OutOfBand(Request& r) {
  // The OOB path has no status of its own; the return code is written as 0 for requests the
  // driver knows and 1 for others, but callers judge only by the device call.
  constexpr std::size_t kOobPayload = kHeaderLength;
  std::uint32_t code = static_cast<std::uint32_t>(DriverStatus::Success);
  if (r.function == function::kOobPerformAction && r.size >= kOobPayload + 4) {
    oobAction = Get32(r.buf, kOobPayload);
  } else if (r.function == function::kOobSendData && r.size >= kOobPayload + 68) {
    oobData.assign(r.buf + kOobPayload, r.buf + kOobPayload + 68);
  } else if (r.function == function::kOobReceiveData && r.size >= kOobPayload + 68) {
    std::copy(oobData.begin(), oobData.end(), r.buf + kOobPayload);
  } else {
    code = static_cast<std::uint32_t>(DriverStatus::InvalidRequest);
  }
  Put32(r.buf, kReturnCodeOffset, code);
}

// ------------------------------------------------------------------------------------------------
// Clock, faults, model access
// ------------------------------------------------------------------------------------------------

void RaidDriver::AdvanceClock(std::uint64_t milliseconds) {
  std::lock_guard lock(mutex);
  Advance(milliseconds);
}

std::uint64_t RaidDriver::ClockMs() const {
  std::lock_guard lock(mutex);
  return topology.clockMs;
}

void RaidDriver::UseRealTime(bool enabled) {
  std::lock_guard lock(mutex);
  realTime = enabled;
  lastRequest = std::chrono::steady_clock::now();
}

void RaidDriver::InjectFault(Fault fault) {
  std::lock_guard lock(mutex);
  if (fault.count != 0) faults.push_back(std::move(fault));
}

void RaidDriver::ClearFaults() {
  std::lock_guard lock(mutex);
  faults.clear();
}

std::size_t RaidDriver::RequestCount(std::uint32_t functionCode, bool outOfBand) const {
  std::lock_guard lock(mutex);
  auto it = requestCounts.find({functionCode, outOfBand});
  return it == requestCounts.end() ? 0 : it->second;
}

Topology RaidDriver::Snapshot() const {
  std::lock_guard lock(mutex);
  return topology;
}

void RaidDriver::Edit(const std::function<void(Topology&)>& change) {
  std::lock_guard lock(mutex);
  change(topology);
}

std::string RaidDriver::Save() const {
  std::lock_guard lock(mutex);
  return SaveTopology(topology);
}

void RaidDriver::SetRemovalHandler(std::function<void(const std::wstring&)> handler) {
  std::lock_guard lock(mutex);
  removalHandler = std::move(handler);
}

std::vector<std::uint8_t> RaidDriver::LastOutOfBandData() const {
  std::lock_guard lock(mutex);
  return oobData;
}

std::uint32_t RaidDriver::LastOutOfBandAction() const {
  std::lock_guard lock(mutex);
  return oobAction;
}

}  // namespace vesk::sim
