// Events, mutexes and the waits on them.
//
// A mutex is a robust, recursive pthread mutex: robust so that the death of the owning thread
// (or of its whole process) is reported to the next waiter, which Windows calls abandonment.
// Named objects live in POSIX shared memory, one segment per name, so that every process of the
// machine that opens the name shares the object; a reference count per process inside the
// segment removes the segment when the last process closes its last handle.
//
// Waiting: a wait that includes a mutex blocks on that mutex itself (a timed lock, woken by the
// kernel when the owner unlocks or dies) and looks at the other objects at least every
// millisecond. A wait on events only blocks on a process-wide condition variable that SetEvent
// notifies; events shared with other processes are polled as well.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "platform/posix/Errors.h"
#include "platform/posix/Handles.h"
#include "platform/posix/Process.h"
#include "platform/posix/Security.h"
#include "platform/simulated/Host.h"

namespace vesk::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kErrorFilenameExcedRange = 206;
constexpr DWORD kErrorMutantLimitExceeded = 587;
// Generic rights of mutexes and events; "all" is what CreateMutexW and CreateEventW ask for.
constexpr GenericMapping kMutexMapping = {0x00020001, 0x00020000, 0x00120000, 0x001F0001};
constexpr GenericMapping kEventMapping = {0x00020001, 0x00020002, 0x00120000, 0x001F0003};
constexpr std::size_t kMaxPath = 260;
constexpr std::uint32_t kSegmentMagic = 0x4B534556;  // "VESK"
constexpr int kMaxProcesses = 128;
// How long a wait may go without looking at objects that nothing here can wake it for.
constexpr auto kMaxSlice = std::chrono::milliseconds(1);
constexpr auto kFirstPoll = std::chrono::microseconds(50);

static_assert(std::atomic<std::uint32_t>::is_always_lock_free);
static_assert(std::atomic<std::int32_t>::is_always_lock_free);

// --- who am I ---------------------------------------------------------------------------------

// Thread and process ids, cached per thread; a fork invalidates the cache of the one thread
// that continues in the child.
std::atomic<unsigned> forkGeneration{0};

struct Self {
  unsigned generation = ~0u;
  pid_t pid = 0;
  pid_t tid = 0;
};

const Self& Me() {
  static const bool atforkRegistered = [] {
    pthread_atfork(nullptr, nullptr, [] { forkGeneration.fetch_add(1); });
    return true;
  }();
  (void)atforkRegistered;
  thread_local Self self;
  const unsigned generation = forkGeneration.load(std::memory_order_relaxed);
  if (self.generation != generation) {
    self.pid = getpid();
    self.tid = gettid();
    self.generation = generation;
  }
  return self;
}

// --- object states, in process memory or in a shared segment ---------------------------------

struct EventState {
  std::atomic<std::uint32_t> signaled{0};
  std::uint32_t manualReset = 0;
};

struct MutexState {
  pthread_mutex_t mutex;
  // Written only by the owner while it holds the mutex; read by anyone to tell whether the
  // caller owns it.
  std::atomic<std::int32_t> ownerPid{0};
  std::atomic<std::int32_t> ownerTid{0};
  std::uint32_t depth = 0;
};

int InitMutex(MutexState* state, bool shared) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_setpshared(&attributes,
                               shared ? PTHREAD_PROCESS_SHARED : PTHREAD_PROCESS_PRIVATE);
  const int rc = pthread_mutex_init(&state->mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  return rc;
}

enum class Take { Acquired, Abandoned, Busy, Failed };

// Turns the result of a lock attempt into ownership bookkeeping.
Take Finish(MutexState& state, int rc) {
  const Self& me = Me();
  if (rc == 0) {
    if (state.depth++ == 0) {
      state.ownerPid.store(me.pid, std::memory_order_relaxed);
      state.ownerTid.store(me.tid, std::memory_order_relaxed);
    }
    return Take::Acquired;
  }
  if (rc == EOWNERDEAD) {
    // The owner died holding it: ownership passes to us, the mutex is usable again.
    pthread_mutex_consistent(&state.mutex);
    state.depth = 1;
    state.ownerPid.store(me.pid, std::memory_order_relaxed);
    state.ownerTid.store(me.tid, std::memory_order_relaxed);
    return Take::Abandoned;
  }
  if (rc == EBUSY || rc == ETIMEDOUT) return Take::Busy;
  return Take::Failed;
}

bool OwnedByCaller(const MutexState& state) {
  const Self& me = Me();
  return state.ownerTid.load(std::memory_order_relaxed) == me.tid &&
         state.ownerPid.load(std::memory_order_relaxed) == me.pid;
}

bool OwnedByThisProcess(const MutexState& state) {
  return state.ownerPid.load(std::memory_order_relaxed) == Me().pid;
}

// --- named segments ---------------------------------------------------------------------------

enum class ObjectType : std::uint32_t { Mutex = 1, Event = 2 };
// Set beside the type when the creator's descriptor does not give later openers full access. A
// flag in the type word, not a field of its own, keeps the segment's layout: processes of older
// builds still share with newer ones every object that everybody may open.
constexpr std::uint32_t kRefusesOpeners = 0x100;

struct ProcessRef {
  std::int32_t pid;
  std::uint32_t count;
};

// Shared with every process that opens the name, whichever build it runs: keep the layout.
struct SharedLayout {
  std::uint32_t magic;
  std::uint32_t type;  // ObjectType, with kRefusesOpeners
  ProcessRef refs[kMaxProcesses];
  MutexState mutex;
  EventState event;
};

ObjectType TypeOf(const SharedLayout* layout) {
  return static_cast<ObjectType>(layout->type & ~kRefusesOpeners);
}

bool ProcessAlive(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

// Called with the segment's file lock held. Forgets the references of processes that have
// ended; `selfIsStale` says that this process holds no handle to the name, so a reference under
// its own id was left by an earlier process that had the same id.
bool HasLiveRefs(SharedLayout* layout, bool selfIsStale) {
  bool any = false;
  for (auto& ref : layout->refs) {
    if (ref.pid == 0) continue;
    if ((ref.pid == Me().pid && selfIsStale) || (ref.pid != Me().pid && !ProcessAlive(ref.pid)))
      ref = {0, 0};
    else
      any = true;
  }
  return any;
}

// Called with the segment's file lock held.
bool AddProcessRef(SharedLayout* layout, pid_t pid) {
  for (auto& ref : layout->refs) {
    if (ref.pid == pid) {
      ++ref.count;
      return true;
    }
  }
  for (int pass = 0; pass < 2; ++pass) {
    for (auto& ref : layout->refs) {
      if (ref.pid == 0) {
        ref = {pid, 1};
        return true;
      }
    }
    // Full: forget processes that died without closing their handles, then try again.
    for (auto& ref : layout->refs)
      if (ref.pid != 0 && !ProcessAlive(ref.pid)) ref = {0, 0};
  }
  return false;
}

// Called with the segment's file lock held; true when no live process refers to the segment.
bool DropProcessRef(SharedLayout* layout, pid_t pid) {
  bool anyLeft = false;
  for (auto& ref : layout->refs) {
    if (ref.pid == pid && ref.count > 0 && --ref.count == 0) ref.pid = 0;
    if (ref.pid != 0 && ref.pid != pid && !ProcessAlive(ref.pid)) ref = {0, 0};
    if (ref.pid != 0) anyLeft = true;
  }
  return !anyLeft;
}

void LockFile(int fd, int operation) {
  while (flock(fd, operation) != 0 && errno == EINTR) {
  }
}

class NamedSegment;

// One mapping per name per process, so that every handle of the process sees the object at
// one address.
struct SegmentRegistry {
  std::mutex lock;
  std::unordered_map<std::string, std::weak_ptr<NamedSegment>> segments;
};
SegmentRegistry& Registry() {
  static SegmentRegistry* registry = new SegmentRegistry;
  return *registry;
}

class NamedSegment {
 public:
  NamedSegment(std::string name, int fd, SharedLayout* layout)
      : name(std::move(name)), layout(layout), fd(fd) {}
  NamedSegment(const NamedSegment&) = delete;
  NamedSegment& operator=(const NamedSegment&) = delete;

  ~NamedSegment() {
    auto& registry = Registry();
    {
      std::lock_guard guard(registry.lock);
      LockFile(fd, LOCK_EX);
      if (DropProcessRef(layout, Me().pid)) shm_unlink(name.c_str());
      LockFile(fd, LOCK_UN);
      auto it = registry.segments.find(name);
      if (it != registry.segments.end() && it->second.expired()) registry.segments.erase(it);
    }
    // A mutex that a thread of this process still owns stays mapped: its address is on that
    // thread's robust list, which the C library and the kernel walk later.
    const bool owned = TypeOf(layout) == ObjectType::Mutex && OwnedByThisProcess(layout->mutex);
    if (!owned) munmap(layout, sizeof(SharedLayout));
    close(fd);
  }

  const std::string name;
  SharedLayout* const layout;

 private:
  const int fd;
};

// Opens or creates the segment of a named object. `created` tells which; `init` prepares a new
// one, which keeps `security`. Fails with ERROR_INVALID_HANDLE when the name belongs to another
// type of object and with ERROR_ACCESS_DENIED when the segment may not be opened or its creator's
// descriptor does not give later openers full access.
std::shared_ptr<NamedSegment> OpenSegment(const std::string& name, ObjectType type,
                                          const NamedObjectSecurity& security,
                                          const std::function<void(SharedLayout*)>& init,
                                          bool& created, DWORD& error) {
  const mode_t mode = security.mode;
  created = false;
  std::shared_ptr<NamedSegment> existing;  // released after the registry lock
  auto& registry = Registry();
  std::lock_guard guard(registry.lock);
  auto found = registry.segments.find(name);
  if (found != registry.segments.end() && (existing = found->second.lock())) {
    if (TypeOf(existing->layout) != type) {
      error = ERROR_INVALID_HANDLE;
      return nullptr;
    }
    if (existing->layout->type & kRefusesOpeners) {
      error = ERROR_ACCESS_DENIED;
      return nullptr;
    }
    return existing;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) {
      error = WinErrorFromErrno(errno);
      return nullptr;
    }
    auto fail = [&](DWORD code) {
      LockFile(fd, LOCK_UN);
      close(fd);
      error = code;
      return nullptr;
    };
    LockFile(fd, LOCK_EX);
    struct stat status;
    if (fstat(fd, &status) != 0) return fail(WinErrorFromErrno(errno));
    if (status.st_nlink == 0) {
      // The last process closed it between our open and our lock: start over with a new one.
      LockFile(fd, LOCK_UN);
      close(fd);
      continue;
    }
    const bool fresh = status.st_size == 0;
    if (fresh) {
      if (ftruncate(fd, sizeof(SharedLayout)) != 0) return fail(WinErrorFromErrno(errno));
      fchmod(fd, mode);  // exactly the descriptor's mode, whatever the umask
    } else if (status.st_size != static_cast<off_t>(sizeof(SharedLayout))) {
      return fail(ERROR_INVALID_HANDLE);  // not one of our objects
    }
    void* memory = mmap(nullptr, sizeof(SharedLayout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) return fail(WinErrorFromErrno(errno));
    auto* layout = static_cast<SharedLayout*>(memory);
    // Processes that were killed, or replaced their program, never closed their handles. When
    // nobody alive refers to the segment, Windows would have destroyed the object: so must we,
    // or the next opener inherits a stale state (an abandoned mutex, a set event).
    if (!fresh && layout->magic == kSegmentMagic &&
        !HasLiveRefs(layout, found == registry.segments.end())) {
      shm_unlink(name.c_str());
      munmap(memory, sizeof(SharedLayout));
      LockFile(fd, LOCK_UN);
      close(fd);
      continue;
    }
    // A creator that died half-way left no magic: initialise it again.
    if (fresh || layout->magic != kSegmentMagic) {
      std::memset(memory, 0, sizeof(SharedLayout));
      layout->type = static_cast<std::uint32_t>(type) | (security.fullAccess ? 0 : kRefusesOpeners);
      init(layout);
      layout->magic = kSegmentMagic;
      created = true;
    } else if (TypeOf(layout) != type) {
      munmap(memory, sizeof(SharedLayout));
      return fail(ERROR_INVALID_HANDLE);
    } else if (layout->type & kRefusesOpeners) {
      munmap(memory, sizeof(SharedLayout));
      return fail(ERROR_ACCESS_DENIED);
    }
    if (!AddProcessRef(layout, Me().pid)) {
      munmap(memory, sizeof(SharedLayout));
      return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    LockFile(fd, LOCK_UN);
    auto segment = std::make_shared<NamedSegment>(name, fd, layout);
    registry.segments[name] = segment;
    return segment;
  }
  error = ERROR_GEN_FAILURE;
  return nullptr;
}

std::string Hex64(std::uint64_t value) {
  static const char digits[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, value >>= 4) out[i] = digits[value & 0xF];
  return out;
}

// Windows object name to segment name: "Global\" names are machine-wide, "Local\" names and names
// without a namespace are per user (the emulation's stand-in for a session). The namespaces are
// matched with their case, as Windows compares names. Any other backslash names a directory of the
// object namespace that does not exist (ERROR_PATH_NOT_FOUND); a namespace with nothing after it
// is no name at all (ERROR_INVALID_NAME).
DWORD SegmentName(std::wstring_view name, std::string& out) {
  if (name.size() > kMaxPath) return kErrorFilenameExcedRange;
  std::string space;
  std::wstring_view rest;
  if (name.substr(0, 7) == L"Global\\") {
    space = "global";
    rest = name.substr(7);
  } else if (name.substr(0, 6) == L"Local\\") {
    space = "local" + std::to_string(geteuid());
    rest = name.substr(6);
  } else {
    space = "local" + std::to_string(geteuid());
    rest = name;
  }
  if (rest.empty()) return ERROR_INVALID_NAME;
  if (rest.find(L'\\') != std::wstring_view::npos) return ERROR_PATH_NOT_FOUND;
  out = "/vesk." + space + ".";
  static const char digits[] = "0123456789ABCDEF";
  for (unsigned char c : ToUtf8(rest)) {
    if (c > 0x20 && c < 0x7F && c != '/' && c != '%') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 0xF];
    }
  }
  // Segment names are file names: keep them short, long ones end in a hash of the whole.
  if (out.size() > 200) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char c : out) hash = (hash ^ c) * 0x100000001b3ull;
    out = out.substr(0, 180) + "~" + Hex64(hash);
  }
  return ERROR_SUCCESS;
}

// --- kernel objects ---------------------------------------------------------------------------

class EventObject final : public KernelObject {
 public:
  EventObject(std::unique_ptr<EventState> local, std::shared_ptr<NamedSegment> segment)
      : KernelObject(Kind::Event),
        local(std::move(local)),
        segment(std::move(segment)),
        state(this->segment ? &this->segment->layout->event : this->local.get()) {}
  bool Shared() const { return segment != nullptr; }

 private:
  std::unique_ptr<EventState> local;
  std::shared_ptr<NamedSegment> segment;

 public:
  EventState* const state;
};

class MutexObject final : public KernelObject {
 public:
  MutexObject(MutexState* local, std::shared_ptr<NamedSegment> segment)
      : KernelObject(Kind::Mutex),
        local(local),
        segment(std::move(segment)),
        state(this->segment ? &this->segment->layout->mutex : local) {}
  ~MutexObject() override {
    // An owned mutex stays allocated; see NamedSegment's destructor for why.
    if (local != nullptr && !OwnedByThisProcess(*local)) {
      pthread_mutex_destroy(&local->mutex);
      delete local;
    }
  }
  bool Shared() const { return segment != nullptr; }

 private:
  MutexState* const local;
  std::shared_ptr<NamedSegment> segment;

 public:
  MutexState* const state;
};

// --- waiting ----------------------------------------------------------------------------------

struct WaitHub {
  std::mutex lock;
  std::condition_variable changed;
  std::uint64_t generation = 0;
  std::atomic<int> waiters{0};
};
WaitHub& Hub() {
  static WaitHub* hub = new WaitHub;
  return *hub;
}

void WakeEventWaiters() {
  auto& hub = Hub();
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (hub.waiters.load() == 0) return;
  {
    std::lock_guard guard(hub.lock);
    ++hub.generation;
  }
  hub.changed.notify_all();
}

Take TryTakeEvent(EventState& event) {
  if (event.manualReset) return event.signaled.load() != 0 ? Take::Acquired : Take::Busy;
  std::uint32_t expected = 1;
  return event.signaled.compare_exchange_strong(expected, 0) ? Take::Acquired : Take::Busy;
}

// Locks until `deadline`; a steady deadline becomes a wall-clock one for the timed lock.
int LockUntil(MutexState& state, Clock::time_point deadline) {
  if (deadline == Clock::time_point::max()) return pthread_mutex_lock(&state.mutex);
  const auto remaining = std::max(deadline - Clock::now(), Clock::duration::zero());
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining).count();
  timespec until;
  until.tv_sec = now.tv_sec + static_cast<time_t>(ns / 1000000000);
  until.tv_nsec = now.tv_nsec + static_cast<long>(ns % 1000000000);
  if (until.tv_nsec >= 1000000000) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000;
  }
  return pthread_mutex_timedlock(&state.mutex, &until);
}

struct Waitable {
  EventState* event = nullptr;
  MutexState* mutex = nullptr;
  ProcessObject* process = nullptr;
  bool shared = false;
};

Take TryTake(Waitable& item) {
  if (item.event) return TryTakeEvent(*item.event);
  if (item.process) return item.process->Ended() ? Take::Acquired : Take::Busy;
  return Finish(*item.mutex, pthread_mutex_trylock(&item.mutex->mutex));
}

DWORD Result(Take take, DWORD index) {
  switch (take) {
    case Take::Acquired:
      return WAIT_OBJECT_0 + index;
    case Take::Abandoned:
      return WAIT_ABANDONED_0 + index;
    default:
      return Fail(kErrorMutantLimitExceeded, WAIT_FAILED);
  }
}

DWORD Wait(const HANDLE* handles, DWORD count, DWORD milliseconds) {
  // The library waits on two objects; only larger sets pay for an allocation.
  constexpr DWORD kInline = 4;
  Waitable inlineItems[kInline];
  std::shared_ptr<KernelObject> inlineObjects[kInline];  // kept alive for the whole wait
  std::unique_ptr<Waitable[]> heapItems;
  std::unique_ptr<std::shared_ptr<KernelObject>[]> heapObjects;
  Waitable* items = inlineItems;
  std::shared_ptr<KernelObject>* objects = inlineObjects;
  if (count > kInline) {
    heapItems = std::make_unique<Waitable[]>(count);
    heapObjects = std::make_unique<std::shared_ptr<KernelObject>[]>(count);
    items = heapItems.get();
    objects = heapObjects.get();
  }
  if (!LookupHandles(handles, count, objects)) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
  int firstMutex = -1;
  bool anyShared = false;
  for (DWORD i = 0; i < count; ++i) {
    auto& object = objects[i];
    if (object->kind == KernelObject::Kind::File) return Fail(ERROR_INVALID_HANDLE, WAIT_FAILED);
    if (object->kind == KernelObject::Kind::Event) {
      auto* event = static_cast<EventObject*>(object.get());
      items[i].event = event->state;
      items[i].shared = event->Shared();
    } else if (object->kind == KernelObject::Kind::Process) {
      // Nothing wakes a waiter when a child ends: looked at like an event of another process.
      items[i].process = static_cast<ProcessObject*>(object.get());
      items[i].shared = true;
    } else {
      auto* mutex = static_cast<MutexObject*>(object.get());
      items[i].mutex = mutex->state;
      items[i].shared = mutex->Shared();
      if (firstMutex < 0) firstMutex = static_cast<int>(i);
    }
    anyShared = anyShared || items[i].shared;
  }

  // The clock is read only when the first look finds nothing.
  bool timed = false;
  Clock::time_point deadline;
  auto& hub = Hub();
  bool counted = false;  // registered with the hub as an event waiter
  struct Uncount {
    WaitHub& hub;
    bool& counted;
    ~Uncount() {
      if (counted) hub.waiters.fetch_sub(1);
    }
  } uncount{hub, counted};
  auto poll = std::chrono::duration_cast<Clock::duration>(kFirstPoll);

  for (;;) {
    std::uint64_t generation = 0;
    if (counted) {
      std::lock_guard guard(hub.lock);
      generation = hub.generation;
    }
    for (DWORD i = 0; i < count; ++i) {
      const Take take = TryTake(items[i]);
      if (take != Take::Busy) return Result(take, i);
    }
    if (milliseconds == 0) return WAIT_TIMEOUT;
    const auto now = Clock::now();
    if (!timed) {
      deadline = milliseconds == INFINITE ? Clock::time_point::max()
                                          : now + std::chrono::milliseconds(milliseconds);
      timed = true;
    }
    if (now >= deadline) return WAIT_TIMEOUT;

    if (firstMutex >= 0) {
      const auto until = count == 1 ? deadline : std::min(deadline, now + kMaxSlice);
      const Take take =
          Finish(*items[firstMutex].mutex, LockUntil(*items[firstMutex].mutex, until));
      if (take != Take::Busy) return Result(take, static_cast<DWORD>(firstMutex));
      continue;
    }
    if (!counted) {
      // Register first, then look again, so that a SetEvent in between is not missed.
      hub.waiters.fetch_add(1);
      counted = true;
      continue;
    }
    auto until = deadline;
    if (anyShared) {
      until = now + poll < deadline ? now + poll : deadline;
      poll = std::min(poll * 2, std::chrono::duration_cast<Clock::duration>(kMaxSlice));
    }
    std::unique_lock lock(hub.lock);
    if (hub.generation == generation) hub.changed.wait_until(lock, until);
  }
}

}  // namespace
}  // namespace vesk::platform

using namespace vesk::platform;

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
  DWORD error = ERROR_SUCCESS;
  if (TakeFault(Api::CreateEventW, error)) return Fail(error, static_cast<HANDLE>(nullptr));
  NamedObjectSecurity security;
  if (!SecurityFromAttributes(attributes, kEventMapping, security, error))
    return Fail(error, static_cast<HANDLE>(nullptr));
  if (name == nullptr || *name == L'\0') {
    auto state = std::make_unique<EventState>();
    state->manualReset = manualReset ? 1 : 0;
    state->signaled = initialState ? 1 : 0;
    HANDLE handle = InsertHandle(std::make_shared<EventObject>(std::move(state), nullptr));
    return Fail(ERROR_SUCCESS, handle);
  }
  std::string segmentName;
  if ((error = SegmentName(name, segmentName)) != ERROR_SUCCESS)
    return Fail(error, static_cast<HANDLE>(nullptr));
  bool created = false;
  auto segment = OpenSegment(
      segmentName, ObjectType::Event, security,
      [&](SharedLayout* layout) {
        new (&layout->event) EventState;
        layout->event.manualReset = manualReset ? 1 : 0;
        layout->event.signaled = initialState ? 1 : 0;
      },
      created, error);
  if (!segment) return Fail(error, static_cast<HANDLE>(nullptr));
  HANDLE handle = InsertHandle(std::make_shared<EventObject>(nullptr, std::move(segment)));
  return Fail(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS, handle);
}

BOOL SetEvent(HANDLE event) {
  auto object = LookupHandleAs<EventObject>(event, KernelObject::Kind::Event);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  object->state->signaled.store(1);
  WakeEventWaiters();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto object = LookupHandleAs<EventObject>(event, KernelObject::Kind::Event);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  object->state->signaled.store(0);
  return TRUE;
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name) {
  DWORD error = ERROR_SUCCESS;
  if (TakeFault(Api::CreateMutexW, error)) return Fail(error, static_cast<HANDLE>(nullptr));
  NamedObjectSecurity security;
  if (!SecurityFromAttributes(attributes, kMutexMapping, security, error))
    return Fail(error, static_cast<HANDLE>(nullptr));
  std::shared_ptr<MutexObject> object;
  bool created = true;
  if (name == nullptr || *name == L'\0') {
    auto* state = new MutexState;
    if (const int rc = InitMutex(state, false); rc != 0) {
      delete state;
      return Fail(WinErrorFromErrno(rc), static_cast<HANDLE>(nullptr));
    }
    object = std::make_shared<MutexObject>(state, nullptr);
  } else {
    std::string segmentName;
    if ((error = SegmentName(name, segmentName)) != ERROR_SUCCESS)
      return Fail(error, static_cast<HANDLE>(nullptr));
    int initError = 0;
    auto segment = OpenSegment(
        segmentName, ObjectType::Mutex, security,
        [&](SharedLayout* layout) {
          new (&layout->mutex) MutexState;
          initError = InitMutex(&layout->mutex, true);
        },
        created, error);
    if (!segment) return Fail(error, static_cast<HANDLE>(nullptr));
    if (initError != 0) return Fail(WinErrorFromErrno(initError), static_cast<HANDLE>(nullptr));
    object = std::make_shared<MutexObject>(nullptr, std::move(segment));
  }
  // Only the creator gets initial ownership; an opener of an existing mutex does not.
  if (initialOwner && created) Finish(*object->state, pthread_mutex_lock(&object->state->mutex));
  HANDLE handle = InsertHandle(std::move(object));
  return Fail(created ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS, handle);
}

BOOL ReleaseMutex(HANDLE mutex) {
  DWORD error = ERROR_SUCCESS;
  if (TakeFault(Api::ReleaseMutex, error)) return Fail(error, FALSE);
  auto object = LookupHandleAs<MutexObject>(mutex, KernelObject::Kind::Mutex);
  if (!object) return Fail(ERROR_INVALID_HANDLE, FALSE);
  MutexState& state = *object->state;
  if (!OwnedByCaller(state)) return Fail(ERROR_NOT_OWNER, FALSE);
  if (--state.depth == 0) {
    state.ownerTid.store(0, std::memory_order_relaxed);
    state.ownerPid.store(0, std::memory_order_relaxed);
  }
  if (const int rc = pthread_mutex_unlock(&state.mutex); rc != 0)
    return Fail(rc == EPERM ? ERROR_NOT_OWNER : WinErrorFromErrno(rc), FALSE);
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return Wait(&object, 1, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* objects, BOOL waitAll, DWORD milliseconds) {
  if (objects == nullptr || count == 0 || count > MAXIMUM_WAIT_OBJECTS)
    return Fail(ERROR_INVALID_PARAMETER, WAIT_FAILED);
  // Waiting for all objects at once is not emulated: the library never does it.
  if (waitAll) return Fail(ERROR_NOT_SUPPORTED, WAIT_FAILED);
  return Wait(objects, count, milliseconds);
}
