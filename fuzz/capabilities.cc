// Capabilities answers, current form (variable-length descriptors) and legacy form.
#include "fuzz/FuzzInput.h"
#include "protocol/QueryReaders.h"
#include "vesk/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Vesk;
  fuzz::Input in;
  if (!fuzz::Split(data, size, in)) return 0;
  try {
    const ControllerCapabilities caps = in.variant
                                            ? ReadControllerCapabilitiesLegacy(in.answer, in.length)
                                            : ReadControllerCapabilities(in.answer, in.length);
    fuzz::Require(caps.raidLevels.size() <= kMaxCapabilityDescriptors);
    std::size_t bytes = kCapabilitiesDescriptorsOffset;
    for (const RaidLevelCapability& level : caps.raidLevels) {
      fuzz::Require((level.descriptor.supportedStripSizes & 0x8000) == 0);
      fuzz::Require(level.descriptor.maxDrivesCount <= caps.maxDrivesPerArray);
      if (!in.variant) bytes += kMigrationListOffset + 2 * level.migrations.size();
    }
    fuzz::Require(bytes <= in.length);
  } catch (const TaluException&) {
  }
  return 0;
}
