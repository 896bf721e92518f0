// The security descriptor of a device's named mutex. The mutex is shared by every process that
// manages the device, whoever runs it, so the library creates it with a descriptor that grants
// everyone full access; the emulation keeps the creator's descriptor and checks later opens
// against it, as Windows does.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "DeviceTestSupport.h"
#include "vesk/Exceptions.h"

namespace Vesk::test {
namespace {

class MutexSecurityTest : public ::testing::Test {
 protected:
  MutexSecurityTest() : pdoName(UniquePdoName()) {
    id = AddController(machine, pdoName, std::make_shared<ScriptedBackend>());
  }

  std::wstring MutexName() const { return DeviceHandle::MutexName(DevicePath(pdoName)); }

  vesk::sim::Machine machine;
  std::wstring pdoName;
  vesk::sim::DeviceId id = 0;
};

TEST_F(MutexSecurityTest, MutexTheLibraryCreatesGrantsEveryUserFullAccess) {
  auto handle = OpenController(pdoName);
  // Another opener gets the full access a mutex needs (an opener's own descriptor is ignored).
  HANDLE other = CreateMutexW(nullptr, FALSE, MutexName().c_str());
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  if (other != nullptr) CloseHandle(other);
  // Other users may open it too: without a descriptor it would be its creator's alone (0600).
  const std::wstring name = MutexName().substr(std::wstring(L"Global\\").size());
  struct stat status {};
  ASSERT_EQ(
      stat(("/dev/shm/vesk.global." + std::string(name.begin(), name.end())).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0666u);
}

TEST_F(MutexSecurityTest, MutexOfTheDeviceThatGrantsNobodyAccessIsRefused) {
  PSECURITY_DESCRIPTOR nobody = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, &nobody,
                                                                   nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, nobody, FALSE};
  HANDLE squatter = CreateMutexW(&attributes, FALSE, MutexName().c_str());
  LocalFree(nobody);
  ASSERT_NE(squatter, nullptr);

  HANDLE file = OpenDevice(pdoName);
  try {
    VeskControllerHandle handle(file, std::make_unique<Device>(DevicePath(pdoName)));
    ADD_FAILURE() << "opened a mutex that grants nobody access";
  } catch (const TaluException& exception) {
    EXPECT_EQ(std::string(exception.Message()),
              "Access denied. Insufficient privileges to obtain a mutex.");
    EXPECT_EQ(exception.ErrorCode(), ERROR_ACCESS_DENIED);
  }
  EXPECT_EQ(machine.OpenHandleCount(id), 0u);
  CloseHandle(squatter);
}

}  // namespace
}  // namespace Vesk::test
