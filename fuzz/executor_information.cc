// Executor-information answers: only their length is judged.
#include "fuzz/FuzzInput.h"
#include "protocol/QueryReaders.h"
#include "vesk/Exceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Vesk;
  fuzz::Input in;
  if (!fuzz::Split(data, size, in)) return 0;
  try {
    const _vesk_executor_information info = ReadExecutorInformation(in.answer, in.length);
    fuzz::Require(in.length >= kExecutorInformationLength);
    (void)info;
  } catch (const TaluException&) {
  }
  return 0;
}
