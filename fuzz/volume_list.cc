// Volume-list answers of every API version (94-byte entries for 1.0 and 2.0).
#include "fuzz/FuzzInput.h"
#include "protocol/QueryReaders.h"
#include "vesk/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Vesk;
  fuzz::Input in;
  if (!fuzz::Split(data, size, in)) return 0;
  try {
    const auto volumes = ReadVolumeList(in.answer, in.length, in.apiVersion, in.limit);
    fuzz::Require(volumes.size() <= in.limit);
    fuzz::RequireIdentifiers(volumes);
    fuzz::Require(kListEntriesOffset + volumes.size() * kVolumeInfoSize[in.apiVersion] <=
                  in.length);
    if (kVolumeInfoSize[in.apiVersion] == 94) {
      for (const auto& volume : volumes) {
        for (std::uint8_t byte : volume.carried94) fuzz::Require(byte == 0);
      }
    }
  } catch (const TaluException&) {
  }
  return 0;
}
