#include "tools/pvpack/Workers.h"

#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <process.h>

#include <climits>
#else
#include <chrono>
#include <semaphore>
#include <system_error>
#include <thread>
#endif

namespace workers {

#ifdef _WIN32

namespace {

// A kernel object handle; null when there is none (what both
// CreateSemaphoreA and _beginthreadex return on failure).
struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct Start {
  void (*run)(void*);
  void* context;
};

unsigned __stdcall ThreadMain(void* start) {
  const Start* s = static_cast<const Start*>(start);
  s->run(s->context);
  return 0;
}

}  // namespace

unsigned ProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? unsigned(info.dwNumberOfProcessors) : 1;
}

struct Semaphore::State {
  UniqueHandle handle;
};

Semaphore::Semaphore(unsigned initial) : state_(new State) {
  state_->handle.reset(CreateSemaphoreA(nullptr, LONG(initial), LONG_MAX, nullptr));
}
Semaphore::~Semaphore() = default;
bool Semaphore::Valid() const { return state_->handle != nullptr; }
void Semaphore::Acquire() { WaitForSingleObject(state_->handle.get(), INFINITE); }
bool Semaphore::AcquireFor(unsigned milliseconds) {
  return WaitForSingleObject(state_->handle.get(), milliseconds) == WAIT_OBJECT_0;
}
void Semaphore::Release(unsigned count) {
  if (count > 0) ReleaseSemaphore(state_->handle.get(), LONG(count), nullptr);
}

struct ThreadGroup::State {
  Start start;
  std::vector<UniqueHandle> threads;
};

ThreadGroup::ThreadGroup(unsigned count, void (*run)(void*), void* context)
    : state_(new State{{run, context}, {}}) {
  for (unsigned i = 0; i < count; ++i) {
    // _beginthreadex rather than CreateThread: it sets up the C runtime's
    // state for the thread.
    UniqueHandle thread(reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, ThreadMain, &state_->start, 0, nullptr)));
    if (!thread) break;
    state_->threads.push_back(std::move(thread));
  }
}

void ThreadGroup::Join() {
  for (UniqueHandle& thread : state_->threads) WaitForSingleObject(thread.get(), INFINITE);
  state_->threads.clear();
}

#else

unsigned ProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

struct Semaphore::State {
  explicit State(unsigned initial) : semaphore(initial) {}
  std::counting_semaphore<> semaphore;
};

Semaphore::Semaphore(unsigned initial) : state_(new State(initial)) {}
Semaphore::~Semaphore() = default;
bool Semaphore::Valid() const { return true; }
void Semaphore::Acquire() { state_->semaphore.acquire(); }
bool Semaphore::AcquireFor(unsigned milliseconds) {
  return state_->semaphore.try_acquire_for(std::chrono::milliseconds(milliseconds));
}
void Semaphore::Release(unsigned count) {
  if (count > 0) state_->semaphore.release(std::ptrdiff_t(count));
}

struct ThreadGroup::State {
  std::vector<std::thread> threads;
};

ThreadGroup::ThreadGroup(unsigned count, void (*run)(void*), void* context)
    : state_(new State) {
  for (unsigned i = 0; i < count; ++i) {
    // The library reports a thread it cannot start by an exception; here it
    // only means fewer threads.
    try {
      state_->threads.emplace_back(run, context);
    } catch (const std::system_error&) {
      break;
    }
  }
}

void ThreadGroup::Join() {
  for (std::thread& thread : state_->threads) thread.join();
  state_->threads.clear();
}

#endif

ThreadGroup::~ThreadGroup() { Join(); }
unsigned ThreadGroup::Started() const { return unsigned(state_->threads.size()); }

}  // namespace workers
