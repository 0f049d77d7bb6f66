// get, put and cat over one or several connections (see transfer.h).
#include "client/transfer.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "client/targets.h"
#include "client/tree.h"
#include "platform/process.h"
#include "values/netdat.h"

#include <zlib.h>  // crc32, as the server sums

namespace {

// Hands out the blocks of [begin, end) in order, holding back a block that would lie more
// than kStripeWindow blocks past the lowest unfinished one.
class BlockQueue {
 public:
  BlockQueue(int64_t begin, int64_t end, int64_t block) : next_(begin), end_(end), block_(block) {}

  // The next block; false once all are handed out or the transfer failed.
  bool Next(int64_t* offset, int64_t* size) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait(lock, [this] {
      return failed_ || next_ >= end_ || unfinished_.empty() ||
             next_ < *unfinished_.begin() + kStripeWindow * block_;
    });
    if (failed_ || next_ >= end_) return false;
    *offset = next_;
    *size = std::min(block_, end_ - next_);
    unfinished_.insert(next_);
    next_ += *size;
    return true;
  }
  void Done(int64_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    unfinished_.erase(offset);
    ready_.notify_all();
  }
  void Fail() {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::set<int64_t> unfinished_;
  bool failed_ = false;
  int64_t next_;
  int64_t end_;
  int64_t block_;
};

// Reads `size` bytes at `offset` of a local file: "" or why not.
std::string ReadAt(std::FILE* file, int64_t offset, char* bytes, size_t size) {
  if (!platform::SeekStream(file, offset)) return SystemReason();
  if (std::fread(bytes, 1, size, file) == size) return "";
  return std::feof(file) ? "it is shorter than when the transfer began" : SystemReason();
}

// A block of the local file in a buffer of its own; null, with why not, when it cannot be read.
std::unique_ptr<char[]> ReadBlock(std::FILE* file, int64_t offset, int64_t size, std::string* why) {
  auto bytes = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(size));
  *why = ReadAt(file, offset, bytes.get(), static_cast<size_t>(size));
  return why->empty() ? std::move(bytes) : nullptr;
}

std::string WriteAt(std::FILE* file, int64_t offset, const char* bytes, size_t size) {
  if (platform::SeekStream(file, offset) && std::fwrite(bytes, 1, size, file) == size) return "";
  return SystemReason();
}

// Moves one block between the server and the local file.
using BlockMove = std::function<int(Session&, std::FILE* local, int64_t offset, int64_t size)>;

struct Stripes {
  int64_t begin;
  int64_t end;
  int64_t block;
  std::string subject;  // the remote path, for error lines
  std::string local;
  const char* mode;  // how each connection opens the local file
};

// One connection's share: it opens the local file for itself and moves the blocks it takes.
int StripeWorker(Session& session, const Stripes& stripes, BlockQueue& queue,
                 const BlockMove& move) {
  std::FILE* file = std::fopen(stripes.local.c_str(), stripes.mode);
  if (file == nullptr) {
    queue.Fail();
    return session.Fail(stripes.subject,
                        "cannot open local file " + stripes.local + ": " + SystemReason());
  }
  std::setvbuf(file, nullptr, _IONBF, 0);  // a block reaches the file when it is moved
  int status = kCliOk;
  int64_t offset = 0, size = 0;
  while (status == kCliOk && queue.Next(&offset, &size)) {
    status = move(session, file, offset, size);
    if (status == kCliOk) {
      queue.Done(offset);
    } else {
      queue.Fail();
    }
  }
  if (std::fclose(file) != 0 && status == kCliOk) {
    queue.Fail();
    status = session.Fail(stripes.subject,
                          "cannot write local file " + stripes.local + ": " + SystemReason());
  }
  return status;
}

// Runs the transfer on `first` and as many more connections as the options ask for and the
// blocks can keep busy. The result is the first failing connection's exit code.
int Striped(Session& first, const Stripes& stripes, const BlockMove& move) {
  BlockQueue queue(stripes.begin, stripes.end, stripes.block);
  int64_t blocks = (stripes.end - stripes.begin + stripes.block - 1) / stripes.block;
  int count = static_cast<int>(
      std::clamp<int64_t>(first.options().connections, 1, std::max<int64_t>(blocks, 1)));
  std::vector<int> results(count, kCliOk);
  std::vector<std::thread> helpers;
  for (int i = 1; i < count; ++i) {
    helpers.emplace_back([&, i] {
      Session own(first.options(), first.reporter(), first.out());
      results[i] = own.Connect();
      if (results[i] == kCliOk) {
        results[i] = StripeWorker(own, stripes, queue, move);
      } else {
        queue.Fail();
      }
    });
  }
  results[0] = StripeWorker(first, stripes, queue, move);
  for (std::thread& helper : helpers) helper.join();
  for (int result : results) {
    if (result != kCliOk) return result;
  }
  return kCliOk;
}

// One read call of up to 64 KiB at `offset`; the bytes go to `bytes`.
int ReadRemote(Session& session, const std::string& remote, int64_t offset, int32_t size,
               std::string* bytes) {
  NetValueList arguments, results;
  AddString(arguments, remote);
  AddSuperLong(arguments, offset);
  AddLong(arguments, size);
  int status = session.Call("plif_file_read", remote, arguments, &results);
  if (status != kCliOk) return status;
  if (results.Count() < 1 || results.Type(0) != NET_BINARY) {
    return session.Fail(remote, "unexpected answer from the server");
  }
  int length = 0;
  const char* data = results.GetBinary(0, &length);
  bytes->assign(data != nullptr ? data : "", length > 0 ? length : 0);
  return kCliOk;
}

// A block read in full from the server, or a failure: a short answer means the file shrank.
int ReadBlock(Session& session, const std::string& remote, int64_t offset, int64_t size,
              std::string* bytes) {
  int status = ReadRemote(session, remote, offset, static_cast<int32_t>(size), bytes);
  if (status == kCliOk && static_cast<int64_t>(bytes->size()) != size) {
    return session.Fail(remote, "the server file changed during the transfer");
  }
  return status;
}

int64_t LocalSize(const std::string& path) {
  std::error_code error;
  auto size = std::filesystem::file_size(path, error);
  return error ? -1 : static_cast<int64_t>(size);
}

// Whether a block holds nothing but zeros. A transfer does not write such a block where the
// file it writes has nothing yet (beyond its current end, but before its last block, which
// sets the length): the file system fills the gap with zeros, and a sparse file stays sparse.
bool IsZero(const char* bytes, int64_t size) {
  static const char kZeros[4096] = {};
  for (int64_t at = 0; at < size; at += sizeof kZeros) {
    size_t piece = static_cast<size_t>(std::min<int64_t>(sizeof kZeros, size - at));
    if (std::memcmp(bytes + at, kZeros, piece) != 0) return false;
  }
  return true;
}

// Whether the server sums byte ranges (plif_file_checksum, with Extensions=1): asked once per
// transfer with an empty range of `remote`.
bool ChecksumsOffered(Session& session, const std::string& remote) {
  uint32_t crc = 0;
  return Checksum(session.client(), remote, 0, 0, &crc) == RemoteResult::kOk;
}

uint32_t LocalCrc(const char* bytes, int64_t size) {
  return static_cast<uint32_t>(
      crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(size)));
}

// `size` bytes of a server file from `offset`, read in the server's 64 KiB pieces.
int ReadBack(Session& on, const std::string& remote, int64_t offset, int64_t size,
             std::string* bytes) {
  bytes->clear();
  std::string piece;
  for (int64_t at = offset; at < offset + size; at += kReadBlock) {
    int status =
        ReadBlock(on, remote, at, std::min<int64_t>(kReadBlock, offset + size - at), &piece);
    if (status != kCliOk) return status;
    bytes->append(piece);
  }
  return kCliOk;
}

// Whether the server file `remote` holds `size` bytes at `offset` equal to `bytes`: by its
// checksum when `by_checksum`, else by reading them back.
int SameOnServer(Session& on, const std::string& remote, int64_t offset, const char* bytes,
                 int64_t size, bool by_checksum, bool* same) {
  if (by_checksum) {
    uint32_t crc = 0;
    int status = on.Remote(Checksum(on.client(), remote, offset, size, &crc), remote);
    *same = status == kCliOk && crc == LocalCrc(bytes, size);
    return status;
  }
  std::string theirs;
  int status = ReadBack(on, remote, offset, size, &theirs);
  *same = status == kCliOk && theirs.compare(0, theirs.size(), bytes, size) == 0;
  return status;
}

// Where the server's `size` bytes at `offset` first differ from `bytes`, which they do: by
// halving the range with checksums, or by reading it back.
int FirstDifference(Session& on, const std::string& remote, int64_t offset, const char* bytes,
                    int64_t size, bool by_checksum, int64_t* at) {
  if (!by_checksum) {
    std::string theirs;
    int status = ReadBack(on, remote, offset, size, &theirs);
    *at = offset + (std::mismatch(theirs.begin(), theirs.end(), bytes).first - theirs.begin());
    return status;
  }
  int64_t begin = 0;
  while (size > 1) {
    bool same = false;
    int64_t half = size / 2;
    int status = SameOnServer(on, remote, offset + begin, bytes + begin, half, true, &same);
    if (status != kCliOk) return status;
    if (same) {
      begin += half;
      size -= half;
    } else {
      size = half;
    }
  }
  *at = offset + begin;
  return kCliOk;
}

// Compares the server file with the local one: their lengths, then every block, by checksums
// where the server offers them.
int Verify(Session& session, const std::string& remote, const std::string& local) {
  int64_t remote_length = 0;
  int status = session.RemoteLength(remote, &remote_length);
  if (status != kCliOk) return status;
  int64_t local_length = LocalSize(local);
  if (local_length != remote_length) {
    return session.Fail(remote, "verify: the server file has " + std::to_string(remote_length) +
                                    " bytes, " + local + " has " + std::to_string(local_length));
  }
  bool by_checksum = ChecksumsOffered(session, remote);
  Progress progress(session.terminal(), "verify " + RemoteBaseName(remote), local_length);
  Stripes stripes{0, local_length, by_checksum ? kWriteBlock : kReadBlock, remote, local, "rb"};
  status =
      Striped(session, stripes, [&](Session& on, std::FILE* file, int64_t offset, int64_t size) {
        std::string why;
        std::unique_ptr<char[]> ours = ReadBlock(file, offset, size, &why);
        if (!ours) return on.Fail(remote, "verify: cannot read " + local + ": " + why);
        bool same = false;
        int result = SameOnServer(on, remote, offset, ours.get(), size, by_checksum, &same);
        int64_t at = 0;
        if (result == kCliOk && !same)
          result = FirstDifference(on, remote, offset, ours.get(), size, by_checksum, &at);
        if (result != kCliOk) return result;
        if (!same)
          return on.Fail(remote,
                         "verify: differs from " + local + " at byte " + std::to_string(at));
        progress.Advance(size);
        return kCliOk;
      });
  if (status == kCliOk) progress.Finish();
  return status;
}

// Moves the finished `part` onto `target`, removing an existing target first with --force.
int Publish(Session& session, const std::string& part, const std::string& target) {
  bool exists = false;
  int status = session.FileExists(target, &exists);
  if (status == kCliOk && exists) {
    status = session.PathCall("plif_file_remove", target, "cannot remove the existing file");
  }
  if (status != kCliOk) return status;
  NetValueList arguments;
  AddString(arguments, part);
  AddString(arguments, target);
  int32_t renamed = 0;
  status = session.CallLong("plif_file_rename", target, arguments, &renamed);
  if (status != kCliOk) return status;
  return renamed == 1 ? kCliOk
                      : session.Fail(target, "the server refused to rename " + part +
                                                 " into place; the uploaded data stays there");
}

// Where put writes before the rename. One name per target, so that --resume finds it again.
std::string PartName(const std::string& target) {
  return target + ".part";
}

// Prepares the part file: with --resume an existing part, whose length goes to `have`; else
// a new empty part (`have` 0).
int PreparePart(Session& session, const std::string& part, const std::string& local, int64_t size,
                int64_t* have) {
  bool have_part = false;
  int status = session.FileExists(part, &have_part);
  if (status != kCliOk) return status;
  *have = 0;
  if (have_part && session.options().resume) {
    status = session.RemoteLength(part, have);
    if (status != kCliOk) return status;
    if (*have > size) {
      return session.Fail(part, "is longer than " + local + "; it is not a part of it");
    }
    return kCliOk;
  }
  // The server's create keeps an existing file's bytes: an old part goes first.
  if (have_part) status = session.PathCall("plif_file_remove", part, "cannot remove it");
  NetValueList arguments;
  AddString(arguments, part);
  int32_t created = 0;
  if (status == kCliOk) status = session.CallLong("plif_file_create", part, arguments, &created);
  if (status != kCliOk || created == 1) return status;
  std::string dir = RemoteDirName(part);
  bool dir_exists = false;
  status = session.DirExists(dir, &dir_exists);
  if (status != kCliOk) return status;
  return session.Fail(
      part, dir_exists ? "cannot create the file on the server"
                       : "no such directory on the server: " + dir + " (--parents makes it)");
}

// After a failed upload from a file: the part stays when it holds bytes, which a --resume
// compares and keeps, and the error line says so; an empty one is of no use and goes.
void KeepOrDropPart(Session& session, const std::string& part, int status) {
  if (status == kCliUnreachable) {
    session.reporter()->Append("; what arrived stays in " + part + " for --resume");
    return;
  }
  // One byte read at 0 tells whether the part holds any (its length might need more calls).
  NetValueList arguments, results;
  AddString(arguments, part);
  AddSuperLong(arguments, 0);
  AddLong(arguments, 1);
  SrpcClient& client = session.client();
  int held = 1;  // kept when the server cannot tell
  if (client.Call("plif_file_read", arguments, &results) == 0 && results.Count() == 1 &&
      results.Type(0) == NET_BINARY) {
    results.GetBinary(0, &held);
  }
  if (held > 0) {
    session.reporter()->Append("; " + part + " stays for --resume");
    return;
  }
  NetValueList path;
  AddString(path, part);
  client.Call("plif_file_remove", path, &results);  // its failure is not the one to report
}

// After a failed download: what arrived stays for --resume, and the error line says so; an
// empty file goes.
void KeepOrDropLocal(Session& session, const std::string& local) {
  std::error_code error;
  if (LocalSize(local) > 0) {
    session.reporter()->Append("; " + local + " keeps what arrived, for --resume");
  } else {
    std::filesystem::remove(local, error);
  }
}

// Writes `length` bytes from `bytes` at `offset` of the server file `part`; `target` names
// the upload in the error line.
int WriteRemote(Session& session, const std::string& part, const std::string& target,
                int64_t offset, const char* bytes, int64_t length) {
  NetValueList arguments;
  AddString(arguments, part);
  AddSuperLong(arguments, offset);
  // Sent from the caller's buffer, which outlives the call.
  arguments.Append(1);
  arguments.LendBinary(2, bytes, static_cast<int>(length), nullptr);
  int32_t written = 0;
  int status = session.CallLong("plif_file_write", target, arguments, &written);
  if (status != kCliOk || written == length) return status;
  return session.Fail(
      target, ShortWriteText(written, length, session.FreeMegabytes(RemoteDirName(target))));
}

// The server file `target` must not be there, unless --force replaces it.
int CheckTarget(Session& session, const std::string& target) {
  bool exists = false;
  int status = session.FileExists(target, &exists);
  if (status != kCliOk || !exists || session.options().force) return status;
  return session.Fail(target, "already exists on the server (--force replaces it)");
}

// put - TARGET: standard input, block by block on one connection, through a fresh part. A
// stream cannot be read again, so a failed upload's part is of no use and goes.
int PutStream(Session& session, const std::string& target) {
  std::string part = PartName(target);
  int64_t have = 0;  // never resumed
  int status = CheckTarget(session, target);
  if (status == kCliOk) status = PreparePart(session, part, "-", 0, &have);
  if (status != kCliOk) return status;
  Progress progress(session.terminal(), RemoteBaseName(target), -1);
  auto block = std::make_unique_for_overwrite<char[]>(static_cast<size_t>(kWriteBlock));
  int64_t offset = 0;
  for (size_t n;
       status == kCliOk &&
       (n = std::fread(block.get(), 1, static_cast<size_t>(kWriteBlock), session.in())) > 0;
       offset += static_cast<int64_t>(n)) {
    status = WriteRemote(session, part, target, offset, block.get(), static_cast<int64_t>(n));
    if (status == kCliOk) progress.Advance(static_cast<int64_t>(n));
  }
  if (status == kCliOk && std::ferror(session.in())) {
    status = session.Fail(target, "cannot read standard input: " + SystemReason());
  }
  if (status == kCliOk) {
    progress.Finish();
    return Publish(session, part, target);
  }
  if (status != kCliUnreachable) session.PathCall("plif_file_remove", part, "cannot remove it");
  return status;
}

// Writes a server file to `out` in the server's 64 KiB pieces until a read comes back empty.
int CopyToStream(Session& session, const std::string& remote) {
  int status = session.RequireFile(remote);
  std::string bytes;
  for (int64_t position = 0; status == kCliOk; position += bytes.size()) {
    status = ReadRemote(session, remote, position, kReadBlock, &bytes);
    if (status != kCliOk || bytes.empty()) break;
    if (std::fwrite(bytes.data(), 1, bytes.size(), session.out()) != bytes.size()) {
      status = session.Fail(remote, "cannot write standard output: " + SystemReason());
    }
  }
  std::fflush(session.out());
  return status;
}

}  // namespace

std::string ShortWriteText(int64_t written, int64_t length, int64_t free_mib) {
  std::string wrote =
      "wrote " + std::to_string(written) + " of " + std::to_string(length) + " bytes";
  if (free_mib < 0) return "the server " + wrote;
  std::string free = std::to_string(free_mib) + " MiB free";
  if (free_mib * 1024 * 1024 < length - written) {
    return "the server's volume is full (" + free + ")";
  }
  return "the server " + wrote + " (" + free + " on its volume)";
}

int64_t ResumePoint(int64_t length, int64_t block) {
  int64_t complete_blocks = length / block - kStripeWindow;
  return complete_blocks > 0 ? complete_blocks * block : 0;
}

// A resumed download trusts the local file below ResumePoint; above it, where an interrupted
// run may have left holes, a block the server's checksum finds in place stays, the rest
// comes again.
int GetFile(Session& session, const std::string& remote, const std::string& local) {
  // The server file must be there before the local one is created or cut to nothing.
  int64_t length = 0;
  int status = session.RemoteLength(remote, &length);
  if (status != kCliOk) return status;
  int64_t have = session.options().resume ? LocalSize(local) : -1;
  if (have > length) {
    return session.Fail(remote, local + " is longer than the server file; it is not a part of it");
  }
  if (have < 0) {
    std::FILE* made = std::fopen(local.c_str(), "wb");
    if (made == nullptr) {
      return session.Fail(remote, "cannot open local file " + local + ": " + SystemReason());
    }
    std::fclose(made);
  }
  int64_t start = have > 0 ? ResumePoint(have, kReadBlock) : 0;
  bool compare = have > start && ChecksumsOffered(session, remote);
  Progress progress(session.terminal(), RemoteBaseName(remote), length, start);
  Stripes stripes{start, length, kReadBlock, remote, local, "r+b"};
  status =
      Striped(session, stripes, [&](Session& on, std::FILE* file, int64_t offset, int64_t size) {
        std::string bytes(static_cast<size_t>(size), '\0');
        if (compare && offset + size <= have) {
          if (std::string why = ReadAt(file, offset, bytes.data(), bytes.size()); !why.empty()) {
            return on.Fail(remote, "cannot read local file " + local + ": " + why);
          }
          bool same = false;
          int result = SameOnServer(on, remote, offset, bytes.data(), size, true, &same);
          if (result != kCliOk || same) {
            if (same) progress.Skip(size);
            return result;
          }
        }
        int result = ReadBlock(on, remote, offset, size, &bytes);
        if (result != kCliOk) return result;
        bool hole = offset >= have && offset + size < length && IsZero(bytes.data(), size);
        if (std::string why = hole ? "" : WriteAt(file, offset, bytes.data(), bytes.size());
            !why.empty()) {
          return on.Fail(remote, "cannot write local file " + local + ": " + why);
        }
        progress.Advance(size);
        return kCliOk;
      });
  if (status != kCliOk) {
    KeepOrDropLocal(session, local);
    return status;
  }
  progress.Finish();
  return session.options().verify ? Verify(session, remote, local) : kCliOk;
}

// A resumed upload trusts the part below ResumePoint; above it, a block the part holds
// already (by the server's checksum, else read back) is not sent again.
int PutFile(Session& session, const std::string& local, const std::string& target) {
  std::FILE* probe = std::fopen(local.c_str(), "rb");
  if (probe == nullptr) {
    return session.Fail(target, "cannot open local file " + local + ": " + SystemReason());
  }
  std::fclose(probe);
  int64_t size = LocalSize(local);
  if (size < 0) return session.Fail(target, "cannot tell the length of local file " + local);
  int status = CheckTarget(session, target);
  if (status != kCliOk) return status;
  std::string part = PartName(target);
  int64_t have = 0;
  status = PreparePart(session, part, local, size, &have);
  if (status != kCliOk) return status;
  int64_t start = ResumePoint(have, kWriteBlock);
  bool by_checksum = have > start && ChecksumsOffered(session, part);
  Progress progress(session.terminal(), std::filesystem::path(local).filename().string(), size,
                    start);
  Stripes stripes{start, size, kWriteBlock, target, local, "rb"};
  status =
      Striped(session, stripes, [&](Session& on, std::FILE* file, int64_t offset, int64_t length) {
        std::string why;
        std::unique_ptr<char[]> bytes = ReadBlock(file, offset, length, &why);
        if (!bytes) return on.Fail(target, "cannot read local file " + local + ": " + why);
        if (offset + length <= have) {
          bool same = false;
          int result = SameOnServer(on, part, offset, bytes.get(), length, by_checksum, &same);
          if (result != kCliOk || same) {
            if (same) progress.Skip(length);
            return result;
          }
        }
        bool hole = offset >= have && offset + length < size && IsZero(bytes.get(), length);
        int result = hole ? kCliOk : WriteRemote(on, part, target, offset, bytes.get(), length);
        if (result == kCliOk) progress.Advance(length);
        return result;
      });
  if (status != kCliOk) {
    KeepOrDropPart(session, part, status);
    return status;
  }
  progress.Finish();
  // A failed publish keeps the complete part: with --force the old target may be gone already.
  status = Publish(session, part, target);
  if (status == kCliOk && session.options().verify) status = Verify(session, target, local);
  return status;
}

int Get(Session& session, const std::vector<std::string>& words) {
  const std::string& remote = words[1];
  std::string local = words.size() > 2 ? words[2] : "";
  if (local == "-") return CopyToStream(session, remote);
  if (session.options().recursive) {  // a file goes as without -r, as cp -r copies one
    std::optional<RemoteEntry> entry;
    int status = session.Remote(StatPath(session.client(), remote, &entry), remote);
    if (status != kCliOk) return status;
    if (entry->is_dir) return GetTree(session, remote, local);
  }
  std::string name = RemoteBaseName(remote);
  if (name.empty()) return session.Fail(remote, "names a directory (get -r copies a tree)");
  std::error_code error;
  bool local_is_dir = !local.empty() && std::filesystem::is_directory(local, error);
  return GetFile(session, remote, GetTarget(local, name, local_is_dir));
}

int Put(Session& session, const std::vector<std::string>& words) {
  const std::string& local = words[1];
  const std::string& remote = words[2];
  bool stream = local == "-";
  std::error_code error;
  if (!stream && std::filesystem::is_directory(local, error)) {
    if (session.options().recursive) return PutTree(session, local, remote);
    return session.Fail(remote, local + " is a directory (put -r copies a tree)");
  }
  bool remote_is_dir = false;
  int status = EndsWithSeparator(remote) ? kCliOk : session.DirExists(remote, &remote_is_dir);
  if (status != kCliOk) return status;
  if (stream && (remote_is_dir || EndsWithSeparator(remote))) {
    return session.Fail(remote, "is a directory: standard input needs a file name");
  }
  std::string name = std::filesystem::path(local).filename().string();
  std::string target = PutTarget(remote, name, remote_is_dir);
  if (target != remote) {
    bool target_is_dir = false;
    status = session.DirExists(target, &target_is_dir);
    if (status == kCliOk && target_is_dir)
      status = session.Fail(target, "is a directory on the server");
  }
  if (status == kCliOk && session.options().parents)
    status = session.MakeDirs(RemoteParents(target));
  if (status != kCliOk) return status;
  return stream ? PutStream(session, target) : PutFile(session, local, target);
}

int Cat(Session& session, const std::vector<std::string>& words) {
  return CopyToStream(session, words[1]);
}
