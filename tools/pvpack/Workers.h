// Threads and a counting semaphore for the packing tool. On Windows they are
// the system's own: the runtime of the shipped 32-bit build has no
// std::thread, and the Win32 calls used here exist on every Windows it runs on.
#pragma once

#include <memory>

namespace workers {

// The number of processors the system offers this process, at least 1.
unsigned ProcessorCount();

class Semaphore {
 public:
  explicit Semaphore(unsigned initial);
  ~Semaphore();
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // False when the system could not make it.
  bool Valid() const;
  void Acquire();
  // Takes a permit if one comes within milliseconds; false if none came.
  bool AcquireFor(unsigned milliseconds);
  void Release(unsigned count = 1);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Runs run(context) on up to count new threads and waits for all of them
// when it goes.
class ThreadGroup {
 public:
  ThreadGroup(unsigned count, void (*run)(void* context), void* context);
  ~ThreadGroup();
  ThreadGroup(const ThreadGroup&) = delete;
  ThreadGroup& operator=(const ThreadGroup&) = delete;

  // How many threads the system started; fewer than asked when it could not
  // start more.
  unsigned Started() const;
  // Waits until every thread has returned.
  void Join();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace workers
