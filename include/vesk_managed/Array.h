// The managed array. Not synchronized (see Drive.h).
#pragma once

#include <cstdint>
#include <string>

#include "vesk/Records.h"
#include "vesk_managed/Guid.h"
#include "vesk_managed/System.h"

namespace VESK_Managed {

class Array : public System::ComponentModel::INotifyPropertyChanged {
 public:
  explicit Array(const Vesk::Array& record);
  explicit Array(const Guid& id) : id(id) {}

  const Guid& Id() const { return id; }
  const Guid& ControllerId() const { return controllerId; }
  const std::wstring& Name() const { return name; }
  std::uint64_t TotalSize() const { return totalSize; }
  std::uint64_t FreeSize() const { return freeSize; }
  bool WriteCacheEnabled() const { return writeCacheEnabled; }

  void Update(const Vesk::Array& record);

 private:
  Guid id;
  Guid controllerId;
  std::wstring name;
  std::uint64_t totalSize = 0;
  std::uint64_t freeSize = 0;
  bool writeCacheEnabled = false;
};

}  // namespace VESK_Managed
