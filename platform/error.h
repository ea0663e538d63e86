#pragma once

#include <stdexcept>
#include <string>

namespace quilvane::platform {

// Every error of the system carries the text an operator reads in the log:
// what() is that text.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failed system call. code() is errno on POSIX, GetLastError() on Windows.
class SystemError : public Error {
 public:
  SystemError(const std::string& message, int code) : Error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// A wait that ran out of time (socket reads, connects).
class TimeoutError : public Error {
 public:
  using Error::Error;
};

// The file to be created is already there; it was left untouched.
class FileExistsError : public Error {
 public:
  using Error::Error;
};

// Builds a SystemError whose text is "<context>: <system message>".
SystemError MakeSystemError(const std::string& context, int code);

// The system's own message for an error code, without the context.
std::string SystemMessage(int code);

}  // namespace quilvane::platform
