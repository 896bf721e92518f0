#include "vesk_managed/Array.h"

#include "managed/Text.h"

namespace VESK_Managed {

Array::Array(const Vesk::Array& record)
    : id(record.id),
      controllerId(record.controllerId),
      name(detail::DecodeText(record.name, detail::Trim::StartOnly)),
      totalSize(record.totalSize),
      freeSize(record.freeSize),
      writeCacheEnabled(record.writeCacheEnabled()) {}

void Array::Update(const Vesk::Array& record) {
  UpdateProperty(controllerId, Guid(record.controllerId), "ControllerId");
  UpdateProperty(totalSize, std::uint64_t{record.totalSize}, "TotalSize");
  UpdateProperty(freeSize, std::uint64_t{record.freeSize}, "FreeSize");
  UpdateProperty(writeCacheEnabled, record.writeCacheEnabled(), "WriteCacheEnabled");
}

}  // namespace VESK_Managed
