// The Win32 behaviour the library relies on, stated once and checked on both sides of the seam:
// natively against the emulation, and cross-built for Windows against the real thing. Nothing
// here may use more than platform/win32.h declares, except for the configuration manager's
// notifications: Wine has none, so on both sides they come from a simulated machine through the
// seam, and what is stated here holds that machine to Windows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/win32.h"
#include "simulator/Machine.h"
#include "tests/Watchdog.h"
#include "tests/platform/OtherProcess.h"

namespace {

using vesk::test::Child;
using vesk::test::CreateLibraryMutex;
using vesk::test::kChildTimeout;
using vesk::test::kLibrarySddl;
using vesk::test::OpenForLocking;

// Names no other test, run or process uses: the process id and a counter. The shape is the
// library's (a device path with its backslashes turned into underscores).
std::wstring UniqueName() {
  static std::atomic<int> counter{0};
  return L"Global\\KorvaTALU___?_Global_GlobalRoot_Device_Contract_" +
         std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(++counter);
}

DWORD FailureOf(BOOL ok) { return ok ? 0 : GetLastError(); }
DWORD WaitFailure(DWORD result) { return result == WAIT_FAILED ? GetLastError() : 0; }

template <typename Body>
void OnOtherThread(Body body) {
  std::thread(body).join();
}

// --- named mutexes ----------------------------------------------------------------------------

// The first creation clears the last error, a second one opens the same mutex with 183. The owner
// may take it again and must release it as often; only the owner may release it, through any
// handle of it.
TEST(Contract, NamedMutexIsRecursiveSharedByItsHandlesAndReleasedOnlyByItsOwner) {
  const auto name = UniqueName();
  SetLastError(ERROR_BUSY);
  HANDLE first = CreateLibraryMutex(name, TRUE);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE second = CreateLibraryMutex(name, TRUE);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_NE(first, second);
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);  // depth 2: the opener got none
  OnOtherThread([&] {
    EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT);
    EXPECT_EQ(FailureOf(ReleaseMutex(second)), ERROR_NOT_OWNER);
  });
  EXPECT_TRUE(ReleaseMutex(second));
  OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(first, 0), WAIT_TIMEOUT); });
  EXPECT_TRUE(ReleaseMutex(first));
  EXPECT_EQ(FailureOf(ReleaseMutex(first)), ERROR_NOT_OWNER);
  OnOtherThread([&] {
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(first));
  });
  CloseHandle(first);
  CloseHandle(second);
}

// Another process opens the mutex and gets it once this thread lets go. While it holds it, a wait
// on the mutex and the exit event ends only by the event, without ownership.
TEST(Contract, AnotherProcessWaitsForTheMutexAndTheExitEventEndsOurWaitForIt) {
  const auto name = UniqueName();
  HANDLE mutex = CreateLibraryMutex(name, TRUE);
  HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  Child child(L"hold", name);
  EXPECT_FALSE(child.TookTheMutex(300));
  ASSERT_TRUE(ReleaseMutex(mutex));
  ASSERT_TRUE(child.TookTheMutex());
  HANDLE both[2] = {mutex, exitEvent};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 50), WAIT_TIMEOUT);
  SetEvent(exitEvent);
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, kChildTimeout), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(FailureOf(ReleaseMutex(mutex)), ERROR_NOT_OWNER);
  child.Kill(77);
  EXPECT_EQ(child.Join(), 77u);
  CloseHandle(mutex);
  CloseHandle(exitEvent);
}

enum class Owner { Thread, KilledProcess, ExitingProcess };

std::string OwnerName(Owner owner) {
  return owner == Owner::Thread          ? "Thread"
         : owner == Owner::KilledProcess ? "KilledProcess"
                                         : "ExitingProcess";
}

class Abandonment : public ::testing::TestWithParam<Owner> {};

// An owner that ends without releasing abandons the mutex: the next wait reports it once, with
// ownership, and it is an ordinary mutex again after that.
TEST_P(Abandonment, NextWaitReportsItOnceWithOwnership) {
  const auto name = UniqueName();
  HANDLE mutex = CreateLibraryMutex(name, FALSE);
  HANDLE exitEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (GetParam() == Owner::Thread) {
    OnOtherThread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); });
  } else {
    Child child(GetParam() == Owner::KilledProcess ? L"hold" : L"exit", name);
    ASSERT_TRUE(child.TookTheMutex());
    if (GetParam() == Owner::KilledProcess) child.Kill(1);
    EXPECT_EQ(child.Join(), GetParam() == Owner::KilledProcess ? 1u : 0u);
  }
  HANDLE both[2] = {exitEvent, mutex};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, kChildTimeout), WAIT_ABANDONED_0 + 1);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(FailureOf(ReleaseMutex(mutex)), ERROR_NOT_OWNER);
  OnOtherThread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
  });
  CloseHandle(mutex);
  CloseHandle(exitEvent);
}

INSTANTIATE_TEST_SUITE_P(Contract, Abandonment,
                         ::testing::Values(Owner::Thread, Owner::KilledProcess,
                                           Owner::ExitingProcess),
                         [](const auto& info) { return OwnerName(info.param); });

// A descriptor that grants nothing refuses every later open, in this process and in another; the
// library's descriptor lets every process in.
TEST(Contract, LaterOpensAreCheckedAgainstTheCreatorsDescriptor) {
  for (const auto& [sddl, error] : {std::pair<const wchar_t*, DWORD>{L"D:", ERROR_ACCESS_DENIED},
                                    {kLibrarySddl, ERROR_ALREADY_EXISTS}}) {
    SCOPED_TRACE(error);
    const auto name = UniqueName();
    HANDLE mutex = CreateLibraryMutex(name, FALSE, sddl);
    ASSERT_NE(mutex, nullptr);
    HANDLE again = CreateLibraryMutex(name, FALSE);
    EXPECT_EQ(again == nullptr, error != ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetLastError(), error);
    if (again != nullptr) CloseHandle(again);
    Child child(L"open", name);
    EXPECT_EQ(child.Join(), error == ERROR_ALREADY_EXISTS ? 0u : error);
    CloseHandle(mutex);
  }
}

// Object names: "Global\" and "Local\" are the only namespaces, matched with their case; the
// backslash is reserved for them.
TEST(Contract, NamesAreRefusedAsWindowsRefusesThem) {
  const std::wstring unique = UniqueName().substr(7);
  for (const auto& [name, error] : {std::pair<std::wstring, DWORD>{L"Global\\", ERROR_INVALID_NAME},
                                    {L"Local\\", ERROR_INVALID_NAME},
                                    {L"global\\" + unique, ERROR_PATH_NOT_FOUND},
                                    {L"Other\\" + unique, ERROR_PATH_NOT_FOUND},
                                    {L"Global\\" + unique + L"\\x", ERROR_PATH_NOT_FOUND},
                                    {L"Local\\" + unique, ERROR_SUCCESS},
                                    {unique + L" /%?*:", ERROR_SUCCESS}}) {
    SCOPED_TRACE(std::string(name.begin(), name.begin() + std::min<size_t>(name.size(), 40)));
    SetLastError(ERROR_BUSY);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    EXPECT_EQ(mutex == nullptr, error != ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), error);
    if (mutex != nullptr) CloseHandle(mutex);
  }
}

// Microsoft's documentation limits object names to MAX_PATH characters. Wine creates the mutex
// anyway; the emulation follows the documentation, and the Wine run leaves this test out.
TEST(Contract, NameLongerThanMaxPathIsRefused) {
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, (L"Global\\" + std::wstring(300, L'x')).c_str()), nullptr);
  EXPECT_EQ(GetLastError(), 206u);  // ERROR_FILENAME_EXCED_RANGE
}

// --- events and waits -------------------------------------------------------------------------

// A manual-reset event releases every wait until reset, an auto-reset one a single wait; a wait
// ends when another thread sets it.
TEST(Contract, ManualAndAutoResetEvents) {
  for (const BOOL manualReset : {TRUE, FALSE}) {
    SCOPED_TRACE(manualReset);
    SetLastError(ERROR_BUSY);
    HANDLE event = CreateEventW(nullptr, manualReset, TRUE, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), manualReset ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    std::thread setter([&] {
      Sleep(20);
      SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, kChildTimeout), WAIT_OBJECT_0);
    setter.join();
    EXPECT_EQ(WaitForSingleObject(event, 0), manualReset ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
    CloseHandle(event);
  }
}

// Wait-any reports the lowest signaled index and takes only that object: an auto-reset event
// further on stays set, a mutex further on stays free.
TEST(Contract, WaitAnyTakesOnlyTheLowestSignaledObject) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, UniqueName().c_str());
  HANDLE autoEvent = CreateEventW(nullptr, FALSE, TRUE, nullptr);
  HANDLE manualEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  HANDLE eventFirst[3] = {autoEvent, mutex, manualEvent};
  EXPECT_EQ(WaitForMultipleObjects(3, eventFirst, FALSE, 0), WAIT_OBJECT_0);
  OnOtherThread([&] {
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex));
  });
  EXPECT_EQ(WaitForMultipleObjects(3, eventFirst, FALSE, 0), WAIT_OBJECT_0 + 1);
  SetEvent(autoEvent);
  HANDLE mutexFirst[2] = {mutex, autoEvent};
  EXPECT_EQ(WaitForMultipleObjects(2, mutexFirst, FALSE, 0), WAIT_OBJECT_0);  // again: depth 2
  EXPECT_EQ(WaitForSingleObject(autoEvent, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  for (HANDLE object : {mutex, autoEvent, manualEvent}) CloseHandle(object);
}

// As many objects as Windows allows in one wait: each index is reported, the last one too, and
// the wait times out when none is signaled. One more is refused (below).
TEST(Contract, AWaitTakesTheLargestNumberOfObjectsWindowsAllows) {
  const DWORD most = MAXIMUM_WAIT_OBJECTS;
  std::vector<HANDLE> events;
  for (DWORD i = 0; i < most; ++i) events.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_EQ(std::count(events.begin(), events.end(), nullptr), 0);
  EXPECT_EQ(WaitForMultipleObjects(most, events.data(), FALSE, 0), WAIT_TIMEOUT);
  for (const DWORD i : {most - 1, DWORD{31}, DWORD{0}}) {
    SetEvent(events[i]);
    EXPECT_EQ(WaitForMultipleObjects(most, events.data(), FALSE, 0), WAIT_OBJECT_0 + i);
  }
  for (HANDLE event : events) CloseHandle(event);
}

// Every call the library makes on a handle fails with ERROR_INVALID_HANDLE for a closed handle, a
// null one, or one of another kind of object; a name taken by another kind fails the same way.
TEST(Contract, ClosedNullAndMistypedHandlesFailWithInvalidHandle) {
  const auto name = UniqueName();
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE closed = CreateEventW(nullptr, TRUE, TRUE, nullptr);
  EXPECT_TRUE(CloseHandle(closed));
  // Nothing is created from here on, so Windows cannot give the closed value to a new object.
  HANDLE withClosed[2] = {mutex, closed};
  DWORD returned = 0;
  for (const DWORD error :
       {FailureOf(CloseHandle(closed)), FailureOf(CloseHandle(nullptr)),
        FailureOf(SetEvent(closed)), FailureOf(ResetEvent(nullptr)), FailureOf(SetEvent(mutex)),
        FailureOf(ReleaseMutex(event)), FailureOf(ReleaseMutex(closed)),
        WaitFailure(WaitForSingleObject(closed, 0)), WaitFailure(WaitForSingleObject(nullptr, 0)),
        WaitFailure(WaitForMultipleObjects(2, withClosed, FALSE, 0)),
        FailureOf(DeviceIoControl(closed, 1, nullptr, 0, nullptr, 0, &returned, nullptr))}) {
    EXPECT_EQ(error, ERROR_INVALID_HANDLE);
  }
  EXPECT_EQ(WaitFailure(WaitForMultipleObjects(0, withClosed, FALSE, 0)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitFailure(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, withClosed, FALSE, 0)),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(event);
  CloseHandle(mutex);
}

// A closed handle's value goes to the next object created, so closing a handle twice closes
// whatever was created in between.
TEST(Contract, ClosedHandleValueIsReusedSoASecondCloseHitsTheNewObject) {
  HANDLE first = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(first));
  HANDLE second = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_EQ(second, first);
  EXPECT_TRUE(CloseHandle(first));
  EXPECT_EQ(WaitFailure(WaitForSingleObject(second, 0)), ERROR_INVALID_HANDLE);
}

// --- files ------------------------------------------------------------------------------------

class ContractFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    folder = std::filesystem::temp_directory_path() /
             ("vesk-contract-" + std::to_string(GetCurrentProcessId()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(folder);
  }
  void TearDown() override { std::filesystem::remove_all(folder); }
  std::wstring File(const char* name) const { return (folder / name).wstring(); }

  std::filesystem::path folder;
};

// A byte-range lock keeps every other handle out, this process's too, until it is unlocked or its
// handle closed; a handle cannot take a range it holds again, nor unlock one it does not hold.
// Shared locks overlap one another.
TEST_F(ContractFiles, ALockExcludesOtherHandlesUntilUnlockedOrClosed) {
  const std::wstring path = File("lock");
  SetLastError(ERROR_BUSY);
  HANDLE first = OpenForLocking(path);
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE second = OpenForLocking(path);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  OVERLAPPED at = {};
  const DWORD exclusive = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
  EXPECT_TRUE(LockFileEx(first, exclusive, 0, 1, 0, &at));
  EXPECT_EQ(FailureOf(LockFileEx(second, exclusive, 0, 1, 0, &at)), ERROR_LOCK_VIOLATION);
  EXPECT_EQ(FailureOf(LockFileEx(second, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)),
            ERROR_LOCK_VIOLATION);
  EXPECT_EQ(FailureOf(LockFileEx(first, exclusive, 0, 1, 0, &at)), ERROR_LOCK_VIOLATION);
  // A shared lock over the handle's own exclusive one is taken, and needs an unlock of its own.
  EXPECT_TRUE(LockFileEx(first, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
  EXPECT_TRUE(UnlockFileEx(first, 0, 1, 0, &at));
  EXPECT_EQ(FailureOf(LockFileEx(second, exclusive, 0, 1, 0, &at)), ERROR_LOCK_VIOLATION);
  EXPECT_TRUE(UnlockFileEx(first, 0, 1, 0, &at));
  EXPECT_TRUE(LockFileEx(second, exclusive, 0, 1, 0, &at));
  EXPECT_EQ(FailureOf(LockFileEx(first, exclusive, 0, 1, 0, &at)), ERROR_LOCK_VIOLATION);
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_TRUE(LockFileEx(first, exclusive, 0, 1, 0, &at));
  EXPECT_TRUE(UnlockFileEx(first, 0, 1, 0, &at));

  second = OpenForLocking(path);
  EXPECT_TRUE(LockFileEx(first, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
  EXPECT_TRUE(LockFileEx(second, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at));
  EXPECT_EQ(FailureOf(LockFileEx(second, exclusive, 0, 1, 0, &at)), ERROR_LOCK_VIOLATION);
  for (HANDLE file : {first, second}) CloseHandle(file);
}

// Unlocking a range the handle does not hold fails with ERROR_NOT_LOCKED, whoever holds it.
TEST_F(ContractFiles, UnlockingARangeNotHeldFailsWithNotLocked) {
  HANDLE first = OpenForLocking(File("lock")), second = OpenForLocking(File("lock"));
  OVERLAPPED at = {};
  EXPECT_EQ(FailureOf(UnlockFileEx(first, 0, 1, 0, &at)), ERROR_NOT_LOCKED);
  EXPECT_TRUE(LockFileEx(first, LOCKFILE_EXCLUSIVE_LOCK, 0, 2, 0, &at));
  EXPECT_EQ(FailureOf(UnlockFileEx(second, 0, 2, 0, &at)), ERROR_NOT_LOCKED);
  EXPECT_EQ(FailureOf(UnlockFileEx(first, 0, 1, 0, &at)), ERROR_NOT_LOCKED);
  EXPECT_TRUE(UnlockFileEx(first, 0, 2, 0, &at));
  for (HANDLE file : {first, second}) CloseHandle(file);
}

// A process that is killed holding a lock gives it up.
TEST_F(ContractFiles, ALockEndsWithAKilledProcess) {
  const std::wstring path = File("lock");
  const std::string narrow = (folder / "lock").string();
  SetEnvironmentVariableW(L"VESK_CONTRACT_FILE",
                          std::wstring(narrow.begin(), narrow.end()).c_str());
  Child child(L"lock", UniqueName());
  SetEnvironmentVariableW(L"VESK_CONTRACT_FILE", nullptr);
  ASSERT_TRUE(child.TookTheMutex());
  HANDLE file = OpenForLocking(path);
  OVERLAPPED at = {};
  const DWORD exclusive = LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY;
  EXPECT_EQ(FailureOf(LockFileEx(file, exclusive, 0, 1, 0, &at)), ERROR_LOCK_VIOLATION);
  child.Kill(7);
  EXPECT_EQ(child.Join(), 7u);
  EXPECT_TRUE(LockFileEx(file, exclusive, 0, 1, 0, &at));
  CloseHandle(file);
}

// What a save relies on: a file written, flushed and moved over another; and the errors of a
// missing file or folder, a folder opened as a file, a move onto an existing name without
// leave, and a read through a handle opened only to write.
TEST_F(ContractFiles, WrittenFlushedAndMovedOverTheOldFile) {
  const std::wstring aside = File("state.new"), state = File("state");
  HANDLE out = CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  EXPECT_TRUE(WriteFile(out, "new", 3, &done, nullptr));
  EXPECT_EQ(done, 3u);
  char buffer[8] = {};
  EXPECT_EQ(FailureOf(ReadFile(out, buffer, sizeof buffer, &done, nullptr)), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(FlushFileBuffers(out));
  CloseHandle(out);
  CloseHandle(CreateFileW(state.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_EQ(FailureOf(MoveFileExW(aside.c_str(), state.c_str(), MOVEFILE_WRITE_THROUGH)),
            ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(MoveFileExW(aside.c_str(), state.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  HANDLE in = CreateFileW(state.c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_TRUE(ReadFile(in, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "new");
  EXPECT_TRUE(ReadFile(in, buffer, sizeof buffer, &done, nullptr));  // the end: nothing more
  EXPECT_EQ(done, 0u);
  CloseHandle(in);

  for (const auto& [path, error] :
       std::vector<std::pair<std::wstring, DWORD>>{{aside, ERROR_FILE_NOT_FOUND},
                                                   {File("none/state"), ERROR_PATH_NOT_FOUND},
                                                   {folder.wstring(), ERROR_ACCESS_DENIED}}) {
    SCOPED_TRACE(std::string(path.begin(), path.end()));
    EXPECT_EQ(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), error);
  }
  EXPECT_EQ(FailureOf(MoveFileExW(aside.c_str(), state.c_str(), MOVEFILE_REPLACE_EXISTING)),
            ERROR_FILE_NOT_FOUND);
}

// --- configuration-manager notifications -------------------------------------------------------

// Counts the arrivals a registration hears; the first one can be held in its callback, so that
// events raised meanwhile wait for their delivery.
struct HeldArrivals {
  std::mutex lock;
  std::condition_variable changed;
  int heard = 0;
  bool holdFirst = false, released = false;

  static DWORD CALLBACK Callback(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                                 PCM_NOTIFY_EVENT_DATA, DWORD) {
    auto* self = static_cast<HeldArrivals*>(context);
    if (action != CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL) return ERROR_SUCCESS;
    std::unique_lock<std::mutex> guard(self->lock);
    ++self->heard;
    self->changed.notify_all();
    if (self->holdFirst) self->changed.wait(guard, [self] { return self->released; });
    return ERROR_SUCCESS;
  }
  int Heard() {
    std::lock_guard<std::mutex> guard(lock);
    return heard;
  }
  HCMNOTIFICATION Register() {
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_STORAGEPORT;
    HCMNOTIFICATION registration = nullptr;
    EXPECT_EQ(CM_Register_Notification(&filter, this, Callback, &registration), CR_SUCCESS);
    return registration;
  }
};

vesk::sim::DeviceSpec StoragePort(const wchar_t* pdoName) {
  vesk::sim::DeviceSpec device;
  device.pdoName = pdoName;
  return device;
}

// A registration hears the events raised after it was made, however late they are delivered, and
// none raised before it, even if their delivery is still to come.
TEST(Contract, ARegistrationHearsOnlyEventsRaisedAfterIt) {
  Vesk::test::Watchdog watchdog("notifications held in a callback");
  vesk::sim::Machine machine;
  HeldArrivals earlier, later;
  earlier.holdFirst = true;
  HCMNOTIFICATION earlierRegistration = earlier.Register();
  machine.AddDevice(StoragePort(L"\\Device\\ContractFirst"));
  {
    std::unique_lock<std::mutex> guard(earlier.lock);
    earlier.changed.wait(guard, [&] { return earlier.heard == 1; });
  }
  machine.AddDevice(StoragePort(L"\\Device\\ContractSecond"));  // its delivery waits
  HCMNOTIFICATION laterRegistration = later.Register();
  {
    std::lock_guard<std::mutex> guard(earlier.lock);
    earlier.released = true;
  }
  earlier.changed.notify_all();
  machine.WaitForNotifications();
  EXPECT_EQ(earlier.Heard(), 2);
  EXPECT_EQ(later.Heard(), 0);

  machine.AddDevice(StoragePort(L"\\Device\\ContractThird"));
  machine.WaitForNotifications();
  EXPECT_EQ(earlier.Heard(), 3);
  EXPECT_EQ(later.Heard(), 1);
  for (HCMNOTIFICATION registration : {earlierRegistration, laterRegistration})
    EXPECT_EQ(CM_Unregister_Notification(registration), CR_SUCCESS);
}

}  // namespace
