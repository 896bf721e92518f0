// Identifier-list answers: controller, drive, and array/volume lists without an empty check.
#include "fuzz/FuzzInput.h"
#include "protocol/QueryReaders.h"
#include "vesk/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Vesk;
  fuzz::Input in;
  if (!fuzz::Split(data, size, in)) return 0;
  try {
    std::vector<vesk_guid> ids;
    switch (in.apiVersion) {
      case 0:
        ids = ReadControllerIdentifiers(in.answer, in.length);
        break;
      case 1:
        ids = ReadDriveIdentifiers(in.answer, in.length);
        break;
      default:
        ids = ReadIdentifiers(in.answer, in.length);
        break;
    }
    fuzz::Require(kListEntriesOffset + ids.size() * kIdentifierSize <= in.length);
    if (in.apiVersion < 2) {
      for (const vesk_guid& id : ids) fuzz::Require(!id.IsEmpty());
    }
  } catch (const TaluException&) {
  }
  return 0;
}
