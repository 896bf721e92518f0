// Controller-information answers of every API version, single-controller and refresh readers.
#include "fuzz/FuzzInput.h"
#include "protocol/QueryReaders.h"
#include "vesk/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Vesk;
  fuzz::Input in;
  if (!fuzz::Split(data, size, in)) return 0;
  try {
    const _vesk_controller_info_4_0 info =
        in.variant ? ReadControllerInfo(in.answer, in.length, in.apiVersion, in.limit)
                   : ReadSingleControllerInfo(in.answer, in.length, in.apiVersion);
    fuzz::Require(info.maxVolumesPerArray != 0);
    if (in.apiVersion < 3) {
      fuzz::Require((info.driverFlags & 0x7F) == 0 && (info.policyFlags & 0x3F) == 0);
      fuzz::Require(info.carriedText[29] == 0);
    }
  } catch (const TaluException&) {
  }
  return 0;
}
