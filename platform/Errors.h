// Error classes of the system, all derived from Exception. The request cycle
// reports these and every other std::exception alike; anything that is no
// std::exception passes on.
#pragma once

#include <stdexcept>
#include <string>

namespace pithorama {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }

 private:
  std::string message_;
};

// A text that is not a number where one is needed ("'%s' is not a valid integer value").
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A failed file operation; ErrorCode is the operating system's code (errno here).
class EInOutError : public Exception {
 public:
  EInOutError(std::string message, int errorCode)
      : Exception(std::move(message)), errorCode_(errorCode) {}
  int ErrorCode() const noexcept { return errorCode_; }

 private:
  int errorCode_;
};

// A file that cannot be opened ("Cannot open file %s").
class EFOpenError : public Exception {
 public:
  using Exception::Exception;
};

// An invalid or duplicate component name.
class EComponentError : public Exception {
 public:
  using Exception::Exception;
};

}  // namespace pithorama
