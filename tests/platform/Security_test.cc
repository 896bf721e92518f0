// SDDL conversion and LocalFree.
#include <gtest/gtest.h>

#include "platform/win32.h"

namespace {

BOOL Convert(const wchar_t* sddl, PSECURITY_DESCRIPTOR* descriptor = nullptr) {
  PSECURITY_DESCRIPTOR local = nullptr;
  ULONG size = 0;
  const BOOL ok = ConvertStringSecurityDescriptorToSecurityDescriptorW(
      sddl, SDDL_REVISION_1, descriptor ? descriptor : &local, &size);
  if (ok && descriptor == nullptr) {
    EXPECT_GT(size, 0u);
    EXPECT_EQ(LocalFree(local), nullptr);
  }
  return ok;
}

TEST(Sddl, AcceptsWellFormedDescriptors) {
  for (const wchar_t* sddl : {
           L"D:(A;;GA;;;WD)(A;;GA;;;AN)S:(ML;;NW;;;HI)",
           L"",
           L"D:",
           L"D:P(A;;GA;;;SY)(A;;GRGW;;;BA)",
           L"D:NO_ACCESS_CONTROL",
           L"O:BAG:SYD:(A;OICI;0x1f0001;;;WD)",
           L"O:S-1-5-21-1004336348-1177238915-682003330-512D:(A;;GA;;;S-1-5-32-544)",
           L"D:(A;;GA;;;WD)S:(ML;;NWNR;;;LW)",
           L"D:(OA;;CC;bf967aba-0de6-11d0-a285-00aa003049e2;;AU)",
           L"D:(D;;GA;;;AN)(A;;GA;;;WD)",
       }) {
    SCOPED_TRACE(std::wstring(sddl).size());
    EXPECT_TRUE(Convert(sddl)) << std::string(sddl, sddl + std::wcslen(sddl));
  }
}

TEST(Sddl, RejectsMalformedTextWithInvalidParameter) {
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

TEST(Sddl, RefusesOtherRevisionsAndMissingArguments) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_FALSE(
      ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", 2, &descriptor, nullptr));
  EXPECT_EQ(GetLastError(), 1305u);  // ERROR_UNKNOWN_REVISION
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(nullptr, SDDL_REVISION_1,
                                                                    &descriptor, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, nullptr,
                                                                    nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Sddl, LocalFreeFreesOnceAndRefusesForeignMemory) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_TRUE(Convert(L"D:", &descriptor));
  EXPECT_EQ(LocalFree(descriptor), nullptr);
  EXPECT_EQ(LocalFree(descriptor), descriptor);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  int local = 0;
  EXPECT_EQ(LocalFree(&local), &local);
}

TEST(Sddl, MutexRefusesADescriptorTheEmulationDidNotMake) {
  int bogus[8] = {};
  SECURITY_ATTRIBUTES attributes{sizeof attributes, bogus, FALSE};
  EXPECT_EQ(CreateMutexW(&attributes, FALSE, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), 1338u);  // ERROR_INVALID_SECURITY_DESCR
}

}  // namespace
