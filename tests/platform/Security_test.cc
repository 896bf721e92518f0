// SDDL conversion, LocalFree, and the descriptor a named object keeps from its creation.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "ChildProcess.h"
#include "PlatformTestSupport.h"
#include "platform/win32.h"

namespace {

using vesk::test::FailureOf;
using vesk::test::Narrow;
using vesk::test::ShmEntries;
using vesk::test::ShmPart;
using vesk::test::UniqueName;

// Converts and frees the descriptor.
BOOL Convert(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ULONG size = 0;
  const BOOL ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                       &descriptor, &size);
  EXPECT_TRUE(!ok || size > 0);
  EXPECT_EQ(ok ? LocalFree(descriptor) : nullptr, nullptr);
  return ok;
}

TEST(Sddl, AcceptsWellFormedDescriptorsAndRejectsMalformedText) {
  for (const wchar_t* sddl :
       {L"D:(A;;GA;;;WD)(A;;GA;;;AN)S:(ML;;NW;;;HI)", L"", L"D:", L"D:P(A;;GA;;;SY)(A;;GRGW;;;BA)",
        L"D:NO_ACCESS_CONTROL", L"O:BAG:SYD:(A;OICI;0x1f0001;;;WD)",
        L"O:S-1-5-21-1004336348-1177238915-682003330-512D:(A;;GA;;;S-1-5-32-544)",
        L"D:(A;;GA;;;WD)S:(ML;;NWNR;;;LW)", L"S:(ML;;NW;;;ME)(ML;;NW;;;MP)(ML;;NW;;;SI)",
        L"D:(OA;;CC;bf967aba-0de6-11d0-a285-00aa003049e2;;AU)", L"D:(D;;GA;;;AN)(A;;GA;;;WD)"}) {
    EXPECT_TRUE(Convert(sddl)) << std::string(sddl, sddl + std::wcslen(sddl));
  }
  for (const wchar_t* sddl : {
           L"D:(A;;GA;;;WD",     // unclosed ACE
           L"D:(A;;GA;;WD)",     // five fields
           L"D:(Q;;GA;;;WD)",    // unknown ACE type
           L"D:(A;;GQ;;;WD)",    // unknown right
           L"D:(A;;GA;;;XX)",    // unknown trustee
           L"D:(A;XY;GA;;;WD)",  // unknown flag
           L"X:(A;;GA;;;WD)",    // unknown component
           L"D:(A;;GA;;;WD)D:",  // component twice
           L"D:(ML;;NW;;;HI)",   // mandatory label outside the SACL
           L"S:(ML;;NW;;;WD)",   // label that is no integrity level
           L"D:(A;;GA;;;WD) ",   // trailing garbage
           L"D:(A;;GA;not-a-guid;;WD)",
           L"O:S-1-D:",
       }) {
    SetLastError(0);
    EXPECT_FALSE(Convert(sddl)) << std::string(sddl, sddl + std::wcslen(sddl));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
}

// Other revisions, missing arguments, memory the conversion did not allocate.
TEST(Sddl, MisusedArgumentsAreRefused) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_EQ(FailureOf(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", 2, &descriptor,
                                                                           nullptr)),
            1305u);  // ERROR_UNKNOWN_REVISION
  EXPECT_EQ(FailureOf(ConvertStringSecurityDescriptorToSecurityDescriptorW(nullptr, SDDL_REVISION_1,
                                                                           &descriptor, nullptr)),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(FailureOf(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1,
                                                                           nullptr, nullptr)),
            ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1,
                                                                   &descriptor, nullptr));
  EXPECT_EQ(LocalFree(descriptor), nullptr);
  EXPECT_EQ(LocalFree(descriptor), descriptor);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  int bogus[8] = {};
  EXPECT_EQ(LocalFree(bogus), bogus);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, bogus, FALSE};
  EXPECT_EQ(CreateMutexW(&attributes, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), 1338u);  // ERROR_INVALID_SECURITY_DESCR
}

// --- the descriptor of a named object --------------------------------------------------------

constexpr const wchar_t* kLibrarySddl = L"D:(A;;GA;;;WD)(A;;GA;;;AN)S:(ML;;NW;;;HI)";

// Security attributes holding a converted descriptor (none for nullptr), freed at the end.
class Attributes {
 public:
  explicit Attributes(const wchar_t* sddl) {
    if (sddl == nullptr) return;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        sddl, SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr));
  }
  ~Attributes() { LocalFree(attributes.lpSecurityDescriptor); }
  Attributes(const Attributes&) = delete;
  Attributes& operator=(const Attributes&) = delete;
  SECURITY_ATTRIBUTES* get() { return attributes.lpSecurityDescriptor ? &attributes : nullptr; }

 private:
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
};

struct Protection {
  const wchar_t* sddl;  // nullptr: no security attributes
  bool opens;           // whether a later open of the name gets full access
  unsigned mode;        // the segment's mode: other users may open it only with 0666
};

void PrintTo(const Protection& p, std::ostream* os) {
  *os << (p.sddl ? Narrow(p.sddl) : std::string("no attributes"));
}

class NamedObjectSecurity
    : public ::testing::TestWithParam<std::tuple<Protection, bool /* event */>> {
 protected:
  static HANDLE Create(bool event, SECURITY_ATTRIBUTES* attributes, const std::wstring& name) {
    return event ? CreateEventW(attributes, TRUE, FALSE, name.c_str())
                 : CreateMutexW(attributes, FALSE, name.c_str());
  }
};

// Windows checks a later opener against the descriptor the object was created with; the opener's
// own descriptor is ignored, and the creator's handle is never refused.
TEST_P(NamedObjectSecurity, LaterOpensAreCheckedAgainstTheCreatorsDescriptor) {
  const auto& [protection, event] = GetParam();
  const auto name = UniqueName();
  Attributes creator(protection.sddl), opener(kLibrarySddl);
  HANDLE first = Create(event, creator.get(), name);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  const auto entries = ShmEntries(ShmPart(name));
  ASSERT_EQ(entries.size(), 1u);
  struct stat status {};
  ASSERT_EQ(stat(("/dev/shm/" + entries[0]).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, protection.mode);
  for (SECURITY_ATTRIBUTES* attributes :
       {static_cast<SECURITY_ATTRIBUTES*>(nullptr), opener.get()}) {
    SetLastError(0);
    HANDLE second = Create(event, attributes, name);
    EXPECT_EQ(second != nullptr, protection.opens);
    EXPECT_EQ(GetLastError(), protection.opens ? ERROR_ALREADY_EXISTS : ERROR_ACCESS_DENIED);
    if (second != nullptr) CloseHandle(second);
  }
  CloseHandle(first);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, NamedObjectSecurity,
    ::testing::Combine(
        ::testing::Values(
            Protection{kLibrarySddl, true, 0666}, Protection{nullptr, true, 0600},
            Protection{L"S:(ML;;NW;;;HI)", true, 0600},  // no DACL: the creator's default
            Protection{L"D:NO_ACCESS_CONTROL", true, 0666},
            Protection{L"D:", false, 0600},              // grants nobody anything
            Protection{L"D:(A;;GA;;;AN)", false, 0600},  // anonymous logons only
            Protection{L"D:(A;;GA;;;BA)", false, 0600},  // administrators only
            Protection{L"D:(A;;GA;;;AU)", true, 0666},   // authenticated users
            Protection{L"D:(A;;GR;;;WD)", false, 0666},  // everyone may read, not take
            Protection{L"D:(A;;GRGWGX;;;BU)", false, 0666},
            Protection{L"D:(A;;0x1f0003;;;WD)", true, 0666},
            Protection{L"D:(D;;GW;;;IU)(A;;GA;;;WD)", false, 0666},
            Protection{L"D:(A;;GA;;;WD)(D;;GA;;;WD)", false, 0600}),
        ::testing::Bool()));

// The check is kept in the shared object, so another process run by another user is checked too.
TEST(NamedObjectSecurity, AnotherProcessIsCheckedAgainstTheCreatorsDescriptor) {
  for (const auto& [sddl, child] :
       {std::pair<const wchar_t*, std::string>{kLibrarySddl, "handle 183"},
        {nullptr, "null 5"},
        {L"D:(A;;GR;;;WD)", "null 5"}}) {
    SCOPED_TRACE(sddl ? Narrow(sddl) : "no attributes");
    const auto name = UniqueName();
    Attributes creator(sddl);
    HANDLE mutex = CreateMutexW(creator.get(), FALSE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    vesk::test::ChildProcess opener("open-unprivileged", Narrow(name));
    EXPECT_EQ(opener.ReadLine(), child);
    EXPECT_EQ(opener.Wait(), 0);
    CloseHandle(mutex);
  }
}

}  // namespace
