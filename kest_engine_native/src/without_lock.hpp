// Running engine work with the interpreter lock released, so that calls from several Python
// threads compute side by side instead of one after another.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <type_traits>
#include <utility>

namespace kest::boundary {

// Releases the lock for its lifetime and takes it back on every way out, an exception included,
// so that `guarded` always reports a fault with the lock held.
class ReleasedInterpreterLock {
 public:
  ReleasedInterpreterLock() noexcept : thread_(PyEval_SaveThread()) {}
  ~ReleasedInterpreterLock() { PyEval_RestoreThread(thread_); }
  ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
  ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

 private:
  PyThreadState* thread_;
};

// Runs `work` without the interpreter lock and returns its result. `work` must not touch any
// Python object, raise a Python exception or allocate through Python: it reads the C++ values
// converted from the arguments and the text buffers they own (kept alive by `Arguments`), and
// returns plain C++ values that the caller turns into Python objects once the lock is back.
template <class Work>
std::invoke_result_t<Work> without_interpreter_lock(Work&& work) {
  ReleasedInterpreterLock released;
  return std::forward<Work>(work)();
}

// Releasing the lock and taking it back costs about 0.3 microseconds, three times a whole call of
// the smallest primitives (a die, a band, a floor division), which therefore keep it. Dice sums
// and initiative orders release it from this many items on, where it costs under 3% of the call
// (1024 dice take about 14 microseconds).
inline constexpr std::size_t kItemsWorthReleasing = 1024;

}  // namespace kest::boundary
