// Small error values that cross every port: no exception ever leaves a port or a library.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace vexmor {

enum class StatusCode {
  kOk = 0,
  kNotFound,
  kInvalidArgument,
  kIoError,
  kCorrupt,
  kUnavailable,
  kInternal,
};

class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(StatusCode code, std::string message) : code_(code), message_(std::move(message)) {}

  static Status Ok() { return Status(); }
  static Status NotFound(std::string m) { return {StatusCode::kNotFound, std::move(m)}; }
  static Status InvalidArgument(std::string m) {
    return {StatusCode::kInvalidArgument, std::move(m)};
  }
  static Status IoError(std::string m) { return {StatusCode::kIoError, std::move(m)}; }
  static Status Corrupt(std::string m) { return {StatusCode::kCorrupt, std::move(m)}; }
  static Status Unavailable(std::string m) { return {StatusCode::kUnavailable, std::move(m)}; }
  static Status Internal(std::string m) { return {StatusCode::kInternal, std::move(m)}; }

  bool ok() const { return code_ == StatusCode::kOk; }
  StatusCode code() const { return code_; }
  const std::string& message() const { return message_; }
  std::string ToString() const;

 private:
  StatusCode code_ = StatusCode::kOk;
  std::string message_;
};

// A value or the reason there is none.
template <typename T>
class [[nodiscard]] StatusOr {
 public:
  StatusOr(T value) : value_(std::move(value)) {}         // NOLINT: implicit by design
  StatusOr(Status status) : status_(std::move(status)) {  // NOLINT: implicit by design
    assert(!status_.ok() && "a StatusOr without a value needs an error");
    if (status_.ok()) status_ = Status::Internal("StatusOr built from an ok status");
  }

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }
  const T& value() const& { return *value_; }
  T& value() & { return *value_; }
  T value() && { return std::move(*value_); }  // by value: a temporary never dangles
  const T& operator*() const& { return *value_; }
  T& operator*() & { return *value_; }
  const T* operator->() const { return &*value_; }
  T* operator->() { return &*value_; }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace vexmor
