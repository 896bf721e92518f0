// Drive answers of every API version: the whole-controller list, or (bit 2 of the selector) one
// drive. Older records are widened, so their results obey the widening rules.
#include "fuzz/FuzzInput.h"
#include "protocol/QueryReaders.h"
#include "vesk/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Vesk;
  fuzz::Input in;
  if (!fuzz::Split(data, size, in)) return 0;
  try {
    std::vector<_vesk_drive_info_4_0> drives;
    if (in.variant) {
      drives.push_back(ReadSingleDriveInfo(in.answer, in.length, in.apiVersion));
    } else {
      drives = ReadDriveList(in.answer, in.length, in.apiVersion);
    }
    fuzz::Require(kListEntriesOffset + drives.size() * kDriveInfoSize[in.apiVersion] <= in.length);
    fuzz::RequireIdentifiers(drives);
    if (in.apiVersion < 3) {
      for (const auto& drive : drives) {
        fuzz::Require(drive.type != 2);
        fuzz::Require(drive.controllerBytes[0] == 0 && drive.controllerBytes[15] == 0);
        fuzz::Require(drive.encryptionAbility == 0 && drive.serviceLabel[0] == 0);
        if (in.apiVersion < 2) fuzz::Require(drive.carried238 == 0xFF);
      }
    }
  } catch (const TaluException&) {
  }
  return 0;
}
