// Trace providers, their enablement by trace sessions, and what each session sees. The decoding of
// the library's own event is pinned by the logger's tests.
#include <gtest/gtest.h>

#include <vector>

#include "diagnostics/Logger.h"
#include "simulator/Machine.h"

namespace {

using vesk::sim::Machine;

constexpr GUID kProvider = {0x1a2b3c4d, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

struct EnableState {
  std::vector<ULONG> codes;
  UCHAR level = 0xFF;
  ULONGLONG any = 0;
  ULONGLONG all = 0;
};

void EnableCallback(LPCGUID, ULONG code, UCHAR level, ULONGLONG any, ULONGLONG all,
                    PEVENT_FILTER_DESCRIPTOR, PVOID context) {
  auto* state = static_cast<EnableState*>(context);
  state->codes.push_back(code);
  state->level = level;
  state->any = any;
  state->all = all;
}

// The first session enables the provider, the last one disables it; in between the provider runs
// at the highest level of the sessions left.
TEST(Tracing, SessionsEnableTheProviderAtTheirHighestLevelUntilTheLastOneEnds) {
  Machine machine;
  EnableState enable;
  REGHANDLE handle = 0;
  ASSERT_EQ(EventRegister(&kProvider, EnableCallback, &enable, &handle), ERROR_SUCCESS);
  EXPECT_TRUE(enable.codes.empty());

  auto verbose = machine.StartTrace(kProvider, 5, 0x10, 0x20);
  EXPECT_EQ(enable.codes, std::vector<ULONG>{EVENT_CONTROL_CODE_ENABLE_PROVIDER});
  EXPECT_EQ(enable.level, 5);
  EXPECT_EQ(enable.any, 0x10u);
  EXPECT_EQ(enable.all, 0x20u);
  auto errors = machine.StartTrace(kProvider, 2);
  EXPECT_EQ(enable.level, 5);
  verbose.reset();
  EXPECT_EQ(enable.codes.back(), EVENT_CONTROL_CODE_ENABLE_PROVIDER);
  EXPECT_EQ(enable.level, 2);
  errors.reset();
  EXPECT_EQ(enable.codes.back(), EVENT_CONTROL_CODE_DISABLE_PROVIDER);
  EventUnregister(handle);
}

// The library's event is written at the verbose level (5).
TEST(Tracing, SessionSeesOnlyEventsWithinItsLevel) {
  Machine machine;
  auto verbose = machine.StartTrace(Vesk::Logger::providerId, 5);
  auto warnings = machine.StartTrace(Vesk::Logger::providerId, 4);
  Vesk::Logger::Write("New device detected.");
  EXPECT_EQ(verbose->Events().size(), 1u);
  EXPECT_TRUE(warnings->Events().empty());
}

}  // namespace
