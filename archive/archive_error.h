#pragma once

#include <string>

#include "platform/error.h"

namespace quilvane::archive {

// Where in the archiver a failure was raised. The values are the codes an
// operator reads at the end of the log line, so they never change.
enum Native : int {
  kNativeCorruptMember = 8,
  kNativeBlankFileName = 10,
  kNativeFileNotFound = 12,
  kNativeNotOpen = 13,
  kNativeCannotCreateFile = 19,
  kNativeCannotCreateDir = 20,
  kNativeCannotOpenSource = 33,
  kNativeSourceSizeChanged = 34,
  kNativeInvalidArchive = 35,
  kNativeZip64Disabled = 43,
  kNativeWriteToStream = 46,
  kNativeDeflate64 = 55,
  kNativeNameTooLong = 61,
  kNativeDiskFull = 65,
  // Added by this system: safeguards a service needs.
  kNativeUnsafeName = 90,
  kNativeWrongPassword = 91,
  kNativeMemberMissing = 92,
  kNativeBadCompressionMode = 93,
  kNativeCommentRefused = 94,
};

// Index of the message text (ErrorCode), one per distinct message.
enum Message : int {
  kMsgInvalidSizeOrChecksum = 1,
  kMsgBlankFileName,
  kMsgFileNotFound,
  kMsgNotOpen,
  kMsgCannotCreateFile,
  kMsgCannotCreateDir,
  kMsgCannotOpenFile,
  kMsgInvalidCompressedSize,
  kMsgInvalidArchive,
  kMsgZip64Disabled,
  kMsgWriteToStream,
  kMsgDeflate64,
  kMsgNameTooLong,
  kMsgDiskFull,
  kMsgUnsafeName,
  kMsgWrongPassword,
  kMsgMemberMissing,
  kMsgBadCompressionMode,
  kMsgCommentRefused,
};

// A failure raised by the archiver itself. what() is the message followed by
// " - Native error: " and the five-digit native code.
class EArchiveError : public platform::Error {
 public:
  EArchiveError(const std::string& message, int native_error, int error_code);

  int NativeError() const { return native_error_; }
  int ErrorCode() const { return error_code_; }
  // The message without the native code.
  const std::string& message() const { return message_; }

 private:
  std::string message_;
  int native_error_;
  int error_code_;
};

// The failures raised from more than one place, each with its one text.
std::string Quoted(const std::string& s);
[[noreturn]] void ThrowCorruptMember();
[[noreturn]] void ThrowDiskFull();
[[noreturn]] void ThrowNotOpen();
[[noreturn]] void ThrowInvalidArchive();
// A member that would need zip64 fields, which this archiver never writes.
[[noreturn]] void ThrowZip64Disabled(const std::string& source_path);

}  // namespace quilvane::archive
