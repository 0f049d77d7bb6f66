// The file object of unit "base" and the text-file append helper (contract in base.h).
#include "foundation/base.h"

#include <cstdio>
#include <cstring>

#include "platform/error.h"
#include "runtime/dumpstack.h"

namespace {

constexpr char kUnit[] = "base";
constexpr char kErrorLog[] = "corvexaerror.log";

constexpr unsigned kAccessMask = 0x0003;
constexpr unsigned kShareMask = 0x0070;

struct OpenRequest {
  platform::FileAccess access;
  platform::FileShare share;
  platform::FileDisposition disposition;
  bool inheritable;
  bool exact;
};

platform::FileAccess AccessOf(unsigned mode) {
  unsigned access = mode & kAccessMask;
  FATAL_CHECK(access != 3);
  if (access == kModeWrite) return platform::FileAccess::kWrite;
  if (access == kModeReadWrite) return platform::FileAccess::kReadWrite;
  return platform::FileAccess::kRead;
}

platform::FileShare ShareOf(unsigned mode) {
  unsigned share = mode & kShareMask;
  FATAL_CHECK(share <= kShareDenyNone);
  if (share == kShareDenyWrite) return platform::FileShare::kRead;
  if (share == kShareDenyRead) return platform::FileShare::kWrite;
  if (share == kShareDenyNone) return platform::FileShare::kReadWrite;
  return platform::FileShare::kNone;
}

platform::FileDisposition DispositionOf(unsigned mode) {
  if ((mode & kModeCreate) == 0) return platform::FileDisposition::kOpenExisting;
  return (mode & kModeNoTruncate) != 0 ? platform::FileDisposition::kOpenAlways
                                       : platform::FileDisposition::kCreateAlways;
}

OpenRequest DecodeMode(unsigned mode) {
  return {AccessOf(mode), ShareOf(mode), DispositionOf(mode), (mode & kModeNoInherit) == 0,
          (mode & kModeExactPath) != 0};
}

platform::SeekFrom PlatformSeekFrom(BaseFile::SeekFrom from) {
  switch (from) {
    case BaseFile::kBegin:
      return platform::SeekFrom::kBegin;
    case BaseFile::kCurrent:
      return platform::SeekFrom::kCurrent;
    case BaseFile::kEnd:
      return platform::SeekFrom::kEnd;
  }
  FATAL_CHECK(false);  // a value cast into the enumeration
  return platform::SeekFrom::kBegin;
}

}  // namespace

BaseFile::~BaseFile() {
  CloseHandle();
}

int BaseFile::Open(const char* path, unsigned mode) {
  FATAL_CHECK(path != nullptr);
  OpenRequest request = DecodeMode(mode);
  CloseHandle();
  path_ = path;
  path_.Replace("/", "\\");
  auto open = request.exact ? platform::FileOpenExact : platform::FileOpen;
  handle_ = open(path_, request.access, request.share, request.disposition, request.inheritable);
  if (IsOpen()) return 1;
  NoteFailure();
  PrintOpenFailure(last_error_, path_);
  return 0;
}

int BaseFile::Close() {
  if (CloseHandle()) return 1;
  NoteFailure();
  return 0;
}

int64_t BaseFile::Read(void* buffer, int64_t count) {
  FATAL_CHECK(count >= 0 && (buffer != nullptr || count == 0));
  int64_t n = platform::FileRead(handle_, buffer, count);
  if (n < 0) NoteFailure();
  return n;
}

int64_t BaseFile::Write(const void* buffer, int64_t count) {
  FATAL_CHECK(count >= 0 && (buffer != nullptr || count == 0));
  int64_t n = platform::FileWrite(handle_, buffer, count);
  if (n < 0) NoteFailure();
  return n;
}

bool BaseFile::WriteGathered(int64_t offset, const platform::FilePiece* pieces, int count) {
  FATAL_CHECK(offset >= 0 && count >= 0 && (pieces != nullptr || count == 0));
  if (platform::FileWriteGathered(handle_, offset, pieces, count)) return true;
  NoteFailure();
  return false;
}

int64_t BaseFile::Seek(int64_t offset, SeekFrom from) {
  int64_t position = platform::FileSeek(handle_, offset, PlatformSeekFrom(from));
  if (position >= 0) return position;
  NoteFailure();
  char line[160];
  std::snprintf(line, sizeof line, "file:%s,line:%d,error:%d ,off:%d\r\n", kUnit, __LINE__,
                static_cast<int>(last_error_), static_cast<int>(offset));
  AppendToLog(kErrorLog, line, true);
  return -1;
}

int64_t BaseFile::SeekToEnd() {
  return Seek(0, kEnd);
}

int64_t BaseFile::GetLength() {
  int64_t length = platform::FileLength(handle_);
  if (length < 0) NoteFailure();
  return length;
}

int BaseFile::Flush() {
  if (platform::FileFlush(handle_)) return 1;
  NoteFailure();
  return 0;
}

bool BaseFile::FlushShared() const {
  return platform::FileFlush(handle_);
}

bool BaseFile::GetIdentity(platform::FileId* id) {
  if (platform::FileIdentity(handle_, id)) return true;
  NoteFailure();
  return false;
}

bool BaseFile::GetStamp(platform::FileStamp* stamp) {
  if (platform::FileStampOf(handle_, stamp)) return true;
  NoteFailure();
  return false;
}

const CString& BaseFile::GetFilePath() const {
  return path_;
}

const char* BaseFile::GetErrorText() const {
  return platform::SystemErrorText(last_error_);
}

void BaseFile::NoteFailure() {
  last_error_ = platform::LastError();
}

bool BaseFile::CloseHandle() {
  if (!IsOpen()) return true;
  bool closed = platform::FileClose(handle_);
  handle_ = platform::kInvalidFile;
  return closed;
}

int AppendToTextFile(const char* file_name, const char* text, bool append) {
  if (file_name == nullptr || file_name[0] == '\0') return 0;
  FATAL_CHECK(text != nullptr);
  unsigned mode = kModeReadWrite | kShareDenyNone | kModeCreate | (append ? kModeNoTruncate : 0);
  BaseFile file;
  if (file.Open(file_name, mode) == 0) return 0;
  if (append && file.SeekToEnd() < 0) return 0;
  int64_t length = static_cast<int64_t>(std::strlen(text));
  return file.Write(text, length) == length ? 1 : 0;
}

const char* FileErrorFormat(uint32_t error) {
  switch (error) {
    case platform::kErrorPathNotFound:
      return "error path not found :%s \n";
    case platform::kErrorTooManyOpenFiles:
      return "error too many open files when open :%s \n";
    case platform::kErrorAccessDenied:
      return "error access denied :%s \n";
    case platform::kErrorSharingViolation:
      return "The process cannot access the file because it is being used by another process. "
             "%s\n";
    default:
      return nullptr;
  }
}

void PrintOpenFailure(uint32_t error, const char* path) {
  if (error == platform::kErrorFileNotFound) return;
  const char* format = FileErrorFormat(error);
  if (format != nullptr) {
    std::printf(format, path);
  } else {
    std::printf("error:%d ,%s\n", static_cast<int>(error), path);
  }
}
