// Array-list answers against a maxVolumesPerController taken from the input.
#include "fuzz/FuzzInput.h"
#include "protocol/QueryReaders.h"
#include "vesk/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Vesk;
  fuzz::Input in;
  if (!fuzz::Split(data, size, in)) return 0;
  try {
    const auto arrays = ReadArrayList(in.answer, in.length, in.limit);
    fuzz::Require(arrays.size() <= in.limit);
    fuzz::RequireIdentifiers(arrays);
    fuzz::Require(kListEntriesOffset + arrays.size() * kArrayInfoSize <= in.length);
  } catch (const TaluException&) {
  }
  return 0;
}
