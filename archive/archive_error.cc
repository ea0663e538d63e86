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

std::string Quoted(const std::string& s) { return "\"" + s + "\""; }

void ThrowCorruptMember() {
  throw EArchiveError("Invalid size or check sum of file or unsupported compression format",
                      kNativeCorruptMember, kMsgInvalidSizeOrChecksum);
}

void ThrowDiskFull() {
  throw EArchiveError("Disk is full. There is not enough free space on disk.", kNativeDiskFull,
                      kMsgDiskFull);
}

void ThrowNotOpen() { throw EArchiveError("Archive is not open", kNativeNotOpen, kMsgNotOpen); }

void ThrowInvalidArchive() {
  throw EArchiveError("Invalid archive file.", kNativeInvalidArchive, kMsgInvalidArchive);
}

void ThrowZip64Disabled(const std::string& source_path) {
  throw EArchiveError("Cannot compress file '" + source_path + "'. Zip64 mode is not enabled",
                      kNativeZip64Disabled, kMsgZip64Disabled);
}

}  // namespace quilvane::archive
