// The file object of unit "base": an operating-system file with its path and open mode, the
// base of the file store's file classes (a page cache file, a cached file), which override
// its virtual operations.
//
// Contract:
//  1. Paths are Windows paths. Open turns every '/' into '\' and keeps that form as the
//     object's path; the platform layer finds the file without regard to case.
//  2. A failed Open prints exactly one console line chosen by the Win32 error (none for 2,
//     file not found) and leaves the object closed. Any failure keeps its error number for
//     GetLastErrorCode and GetErrorText.
//  3. A failed Seek also appends a line naming the error and the offset to "corvexaerror.log"
//     in the current directory.
//  4. An access value of 3 or a share value above kShareDenyNone in a mode is a programming
//     error and fires the fatal internal error. Share values are passed on to the platform;
//     POSIX does not enforce them.
//  5. The destructor closes the file; a derived class that holds more than the handle closes
//     it in its own destructor.
// Not thread-safe: one thread at a time, or under the owner's lock.
#pragma once

#include <cstdint>

#include "foundation/cstring.h"
#include "platform/file.h"
#include "runtime/memobj.h"

// Open mode bits: access in bits 0-1, share in bits 4-6, then the flags.
inline constexpr unsigned kModeRead = 0x0000;
inline constexpr unsigned kModeWrite = 0x0001;
inline constexpr unsigned kModeReadWrite = 0x0002;
inline constexpr unsigned kShareExclusive = 0x0010;  // 0x0000 shares nothing either
inline constexpr unsigned kShareDenyWrite = 0x0020;
inline constexpr unsigned kShareDenyRead = 0x0030;
inline constexpr unsigned kShareDenyNone = 0x0040;
inline constexpr unsigned kModeNoInherit = 0x0080;
// Create always; with kModeNoTruncate open always (keep what is there). Without kModeCreate
// the file must exist.
inline constexpr unsigned kModeCreate = 0x1000;
inline constexpr unsigned kModeNoTruncate = 0x2000;
// The path is a resolved one (platform::ResolvePath) and names exactly the file to open: an
// open that a symbolic link would lead elsewhere fails with 5 (platform::FileOpenExact).
inline constexpr unsigned kModeExactPath = 0x4000;
inline constexpr unsigned kTypeBinary = 0x8000;  // no effect: text is never translated

class BaseFile : public BaseObject {
 public:
  enum SeekFrom { kBegin = 0, kCurrent = 1, kEnd = 2 };

  BaseFile() = default;
  ~BaseFile() override;
  BaseFile(const BaseFile&) = delete;
  BaseFile& operator=(const BaseFile&) = delete;

  // 1, or 0 after the console message of the error. An open object is closed first.
  virtual int Open(const char* path, unsigned mode);
  // 1, or 0 when the system reports an error (the handle is released either way). Closing a
  // closed object does nothing and gives 1.
  virtual int Close();
  // Bytes transferred, or -1. A read gives fewer bytes only at the end of the file.
  virtual int64_t Read(void* buffer, int64_t count);
  virtual int64_t Write(const void* buffer, int64_t count);
  // The pieces one after another from `offset` on, gathered (platform::FileWriteGathered);
  // true when all were written. Not for files of other kinds than the OS file itself.
  bool WriteGathered(int64_t offset, const platform::FilePiece* pieces, int count);
  // The new position, or -1.
  virtual int64_t Seek(int64_t offset, SeekFrom from);
  virtual int64_t SeekToEnd();
  // Bytes in the file, or -1.
  virtual int64_t GetLength();
  // 1 when everything written is on the disk, else 0.
  virtual int Flush();
  // Flush for a thread that shares the open object with another: the failure is not kept as
  // the object's last, which belongs to the other thread.
  bool FlushShared() const;
  virtual const CString& GetFilePath() const;

  // Which file is open, whatever its name (platform::FileIdentity); false when closed.
  bool GetIdentity(platform::FileId* id);
  // Its identity, size and last-write time (platform::FileStampOf); false when closed.
  bool GetStamp(platform::FileStamp* stamp);

  bool IsOpen() const { return handle_ != platform::kInvalidFile; }
  // The Win32 error of the last failure of this object (0 before any), and its system text.
  uint32_t GetLastErrorCode() const { return last_error_; }
  const char* GetErrorText() const;

 protected:
  platform::FileHandle handle() const { return handle_; }
  // Keeps the platform's last error as this object's last failure.
  void NoteFailure();

 private:
  // Releases the handle without the virtual Close; false when the system reports an error.
  bool CloseHandle();

  platform::FileHandle handle_ = platform::kInvalidFile;
  CString path_;
  uint32_t last_error_ = 0;
};

// Writes `text` to the file `file_name` through a BaseFile: with `append` at the end of the
// file (created when missing), else into a file created anew. 1 when all of it was written;
// an empty name does nothing and gives 0.
int AppendToTextFile(const char* file_name, const char* text, bool append);

// The console message (a printf format taking the path) that a failed open prints for a path
// not found (3), too many open files (4), access denied (5) and a sharing violation (32);
// null for any other error.
const char* FileErrorFormat(uint32_t error);
// The one console line of a failed open of `path`, as BaseFile::Open prints it: the format
// above, "error:<n> ,<path>\n" for other errors, nothing for a missing file (2), which is an
// ordinary answer.
void PrintOpenFailure(uint32_t error, const char* path);
