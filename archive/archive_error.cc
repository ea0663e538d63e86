#include "archive/archive_error.h"

#include <cstdio>

namespace quilvane::archive {
namespace {

std::string WithNative(const std::string& message, int native) {
  char code[16];
  std::snprintf(code, sizeof code, "%05d", native);
  return message + " - Native error: " + code;
}

}  // namespace

EArchiveError::EArchiveError(const std::string& message, int native_error, int error_code)
    : platform::Error(WithNative(message, native_error)),
      message_(message),
      native_error_(native_error),
      error_code_(error_code) {}

}  // namespace quilvane::archive
