// The outcome of an operation that can fail, with the reason a person can act on.
#pragma once

#include <string>
#include <string_view>
#include <utility>

/// Success, or a failure that keeps its reason: what failed, the system's error number (or
/// libcurl's code) and the text that explains it. Returned by every operation below main that
/// can fail; the caller decides what the failure means for the run.
class Status {
 public:
  enum class Code {
    Ok,
    SystemError,    ///< the operating system refused: error_number() is its number
    TransferError,  ///< libcurl failed: error_number() is its CURLcode
    Refused,        ///< the input or the peer asked for something this program will not do
    Fatal,          ///< the run cannot go on; its message has been shown, the caller ends it
    Count,
  };

  /// Success.
  Status() = default;
  static Status failure(Code code, std::string message, int error_number = 0) {
    return Status(code, std::move(message), error_number);
  }
  /// `what` failed with the system's error `error_number`: "what: <the system's text>".
  static Status system_error(std::string_view what, int error_number);

  bool ok() const { return code_ == Code::Ok; }
  Code code() const { return code_; }
  int error_number() const { return error_number_; }
  /// The reason as a person reads it; empty on success.
  const std::string& message() const { return message_; }

 private:
  Status(Code code, std::string message, int error_number)
      : code_(code), error_number_(error_number), message_(std::move(message)) {}

  Code code_ = Code::Ok;
  int error_number_ = 0;
  std::string message_;
};

/// The system's own text for one of its error numbers (strerror on POSIX systems, the message
/// table on Windows).
std::string system_error_text(int error_number);
