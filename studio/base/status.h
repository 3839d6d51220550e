// status.h — the one way a studio module says how a step went: a result, or
// the reason it failed, one line in our words with a library's or the
// driver's own detail folded in. Modules return it and never print; only the
// commands turn a reason into a line on standard error and an exit status.
//
// Warnings a module must surface without failing (a cover art skipped, an
// input declared with the wrong type) go to a Notes hook the command owns.
//
// Threading: plain values; any thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>

class Status {
 public:
  // Success.
  Status() = default;
  static Status failure(std::string why) {
    Status s;
    s.failed_ = true;
    s.why_ = std::move(why);
    return s;
  }
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& why() const { return why_; }

 private:
  bool failed_ = false;
  std::string why_;
};

// A value, or the reason there is none.
template <class T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value converts
  Result(Status failed) : failed_(std::move(failed)) {}  // NOLINT: only a failure
  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  T& value() { return *value_; }
  const T& value() const { return *value_; }
  const std::string& why() const { return failed_.why(); }
  Status status() const { return ok() ? Status() : failed_; }

 private:
  std::optional<T> value_;
  Status failed_;
};

// Where a module hands a line the user should read (a warning, a note) while
// it goes on; the command decides where it goes. May be empty: then nothing.
using Notes = std::function<void(const std::string& line)>;
