// The one error shape above the protocol library: a value, or the one-line reason why
// there is none (with the library's public code when the failure came from it).
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace tavrix {

struct Failure {
  std::string reason;  // one line, ready to show as it is
  int code = 0;        // the library's public code, 0 when the failure is not the library's
};

inline Failure fail(std::string reason, int code = 0) {
  return Failure{std::move(reason), code};
}

template <class T>
class [[nodiscard]] Outcome {
 public:
  Outcome(T value) : value_(std::move(value)) {}              // NOLINT: a value converts implicitly
  Outcome(Failure failure) : failure_(std::move(failure)) {}  // NOLINT: so does a failure

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  // Only on success (checked in the hardened builds).
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  // Empty on success.
  const std::string& reason() const { return failure_.reason; }
  int code() const { return failure_.code; }

 private:
  std::optional<T> value_;
  Failure failure_;
};

// Success with nothing to hand back: `return {};`, or a failure.
template <>
class [[nodiscard]] Outcome<void> {
 public:
  Outcome() = default;
  Outcome(Failure failure) : failed_(true), failure_(std::move(failure)) {}  // NOLINT

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& reason() const { return failure_.reason; }
  int code() const { return failure_.code; }

 private:
  bool failed_ = false;
  Failure failure_;
};

using Done = Outcome<void>;

}  // namespace tavrix
