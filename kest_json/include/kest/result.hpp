// How every library operation reports failure: it returns its value or the message that says
// why, never throws and never aborts. The macros keep the forwarding of a failed step to one line.
//
// Every function here may be called from any number of threads at once.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <utility>

namespace kest {

template <typename T>
using Result = std::expected<T, std::string>;

// The failure of an operation, carrying its message.
inline std::unexpected<std::string> fail(std::string message) { return std::unexpected(std::move(message)); }

// The result unchanged, or its failure with `prefix` put before the message: how a caller names
// the subsystem in the message of a shared reader.
template <typename T>
Result<T> with_prefix(std::string_view prefix, Result<T> result) {
  if (!result) result.error().insert(0, prefix);
  return result;
}

}  // namespace kest

#define KEST_RESULT_CONCAT_INNER(a, b) a##b
#define KEST_RESULT_CONCAT(a, b) KEST_RESULT_CONCAT_INNER(a, b)

// KEST_ASSIGN_OR_RETURN(target, expression): evaluates `expression`, a std::expected; when it
// failed, the enclosing function returns its error unchanged, otherwise its value is moved into
// `target`, which may be a declaration such as `auto state` (not of a reference: the value is
// moved out of a temporary that ends with the macro).
#define KEST_ASSIGN_OR_RETURN(target, expression) \
  KEST_ASSIGN_OR_RETURN_IMPL(KEST_RESULT_CONCAT(kest_result_, __LINE__), target, expression)
#define KEST_ASSIGN_OR_RETURN_IMPL(temporary, target, expression)       \
  auto temporary = (expression);                                        \
  if (!temporary) return std::unexpected(std::move(temporary).error()); \
  target = std::move(temporary).value()

// KEST_RETURN_IF_ERROR(expression): evaluates `expression`, a std::expected (of void or of a
// value that is not needed); when it failed, the enclosing function returns its error unchanged.
#define KEST_RETURN_IF_ERROR(expression)                             \
  do {                                                               \
    if (auto kest_result_status = (expression); !kest_result_status) \
      return std::unexpected(std::move(kest_result_status).error()); \
  } while (false)
