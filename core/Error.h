// Error and Result: the typed failures every fallible operation returns.
//
// An Error names its domain (the failing component's error type, e.g.
// "MMapStoreError"), a code stable within that domain, and a readable
// description that quotes the underlying cause. Errors never cross a
// subsystem boundary as exceptions; callers log them and degrade.
//
// Besides its domain's own code, an error carries a canonical code, one of a
// small set shared by every domain, so callers decide what to do (retry,
// rebuild, tell the user to fix the input, exit with a status) without
// comparing domain strings.
#pragma once

#include <cassert>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace pallix {

enum class ErrorCode {
  internal,         // a fault of this program or an unexpected failure
  notFound,         // what was asked for does not exist (yet)
  invalidArgument,  // the input is wrong: fixing it is the caller's part
  busy,             // held by someone else for now: waiting may help
  damaged,          // stored data is corrupt or unreadable: only rebuilding helps
  unavailable,      // a service, device or resource cannot be reached or is off
  cancelled,        // stopped on request
  permission,       // not allowed
};

// "not found", "invalid argument", ...
const char* errorCodeName(ErrorCode code);
// The canonical code of a failed system call's errno.
ErrorCode errorCodeForErrno(int errnum);

class Error {
 public:
  Error() = default;
  Error(std::string domain, int code, std::string description, ErrorCode canonical = ErrorCode::internal)
      : domain_(std::move(domain)), code_(code), description_(std::move(description)), canonical_(canonical) {}

  // A generic error in domain "Pallix" for code paths without a typed enum.
  static Error make(std::string description) { return Error("Pallix", 1, std::move(description)); }
  // An error from a failed system call, quoting strerror(errnum), with the
  // errno's canonical code.
  static Error fromErrno(const std::string& what, int errnum);

  const std::string& domain() const { return domain_; }
  int code() const { return code_; }
  const std::string& description() const { return description_; }
  ErrorCode canonical() const { return canonical_; }

  // Returns a copy whose description is "context: description".
  Error withContext(const std::string& context) const {
    return Error(domain_, code_, context + ": " + description_, canonical_);
  }
  // Returns a copy with another canonical code, for a caller that knows
  // better what the failure means here.
  Error withCanonical(ErrorCode canonical) const { return Error(domain_, code_, description_, canonical); }

  friend bool operator==(const Error& a, const Error& b) {
    return a.domain_ == b.domain_ && a.code_ == b.code_ && a.description_ == b.description_;
  }

 private:
  std::string domain_;
  int code_ = 0;
  std::string description_;
  ErrorCode canonical_ = ErrorCode::internal;
};

// Result<T> holds a value or an Error. There is deliberately no operator bool:
// callers write `if (!r.ok())` and read `r.value()` or `r.error()`.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}      // NOLINT(implicit)
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT(implicit)

  bool ok() const { return v_.index() == 0; }
  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  const Error& error() const {
    assert(!ok());
    return std::get<1>(v_);
  }
  T valueOr(T fallback) const& { return ok() ? std::get<0>(v_) : std::move(fallback); }

  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

 private:
  std::variant<T, Error> v_;
};

// Status is a Result without a value.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)), ok_(false) {}  // NOLINT(implicit)

  bool ok() const { return ok_; }
  const Error& error() const {
    assert(!ok_);
    return error_;
  }

 private:
  Error error_;
  bool ok_ = true;
};

using Status = Result<void>;

inline Status okStatus() {
  return Status();
}

}  // namespace pallix

// Propagates a failed Status or Result from the enclosing function.
#define PALLIX_RETURN_IF_ERROR(expr)                         \
  do {                                                       \
    auto _pallix_status = (expr);                            \
    if (!_pallix_status.ok()) return _pallix_status.error(); \
  } while (0)

#define PALLIX_CONCAT_INNER(a, b) a##b
#define PALLIX_CONCAT(a, b) PALLIX_CONCAT_INNER(a, b)
// PALLIX_ASSIGN_OR_RETURN(auto x, makeX()): binds the value or returns the error.
#define PALLIX_ASSIGN_OR_RETURN(lhs, expr)                                                                     \
  auto PALLIX_CONCAT(_pallix_result_, __LINE__) = (expr);                                                      \
  if (!PALLIX_CONCAT(_pallix_result_, __LINE__).ok()) return PALLIX_CONCAT(_pallix_result_, __LINE__).error(); \
  lhs = std::move(PALLIX_CONCAT(_pallix_result_, __LINE__)).value()
