// pellary-cli's connection, error line and progress line.
#include "client/session.h"

#include <cerrno>
#include <iterator>
#include <optional>
#include <system_error>

#include "platform/clock.h"
#include "values/netdat.h"

void AddString(NetValueList& list, const std::string& text) {
  list.SetString(list.Append(1) - 1, text.c_str());
}
void AddSuperLong(NetValueList& list, int64_t value) {
  list.SetSuperLong(list.Append(1) - 1, value);
}
void AddLong(NetValueList& list, int32_t value) {
  list.SetLong(list.Append(1) - 1, value);
}
std::string OneLine(const char* text) {
  std::string line = text != nullptr ? text : "";
  for (char& ch : line) {
    if (ch == '\n' || ch == '\r') ch = ' ';
  }
  return line;
}

std::string SystemReason() {
  return std::error_code(errno, std::generic_category()).message();
}

std::string FormatBytes(int64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes) / 1024;
  size_t unit = 0;
  for (; value >= 1024 && unit + 1 < std::size(kUnits); ++unit) value /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

namespace {

std::string FormatDuration(int64_t seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

}  // namespace

std::string FormatProgress(const ProgressFigures& figures) {
  std::string line = figures.name + "  " + FormatBytes(figures.done);
  if (figures.total >= 0) {
    line += " of " + FormatBytes(figures.total);
    if (figures.total > 0) line += " (" + std::to_string(figures.done * 100 / figures.total) + "%)";
  }
  double rate = 0;  // bytes per second
  if (figures.elapsed_ms > 0 && figures.moved > 0) {
    rate = static_cast<double>(figures.moved) * 1000 / figures.elapsed_ms;
    line += "  " + FormatBytes(static_cast<int64_t>(rate)) + "/s";
  }
  if (figures.finished) return line + "  in " + FormatDuration((figures.elapsed_ms + 500) / 1000);
  if (rate == 0 || figures.total < figures.done) return line;
  double left = static_cast<double>(figures.total - figures.done) / rate + 0.5;
  return line + "  " + FormatDuration(static_cast<int64_t>(left)) + " left";
}

void Reporter::Report(const std::string& subject, const std::string& what) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reported_) return;
  reported_ = true;
  std::string head = subject.empty() ? command_ : command_ + " " + subject;
  line_ = "pellary-cli: " + head + ": " + what;
}

void Reporter::Append(const std::string& more) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!line_.empty()) line_ += more;
}

void Reporter::Flush() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (line_.empty()) return;
  if (terminal_ != nullptr) std::fputs("\r\033[K", terminal_);  // not after a progress line
  std::fprintf(err_, "%s\n", line_.c_str());
  line_.clear();
}

namespace {

// A name for the progress line: the last 32 characters at most.
std::string ShortName(std::string name) {
  constexpr size_t kMost = 32;
  return name.size() <= kMost ? name : "..." + name.substr(name.size() - (kMost - 3));
}

}  // namespace

Progress::Progress(std::FILE* terminal, std::string name, int64_t total, int64_t done)
    : terminal_(terminal), start_(platform::GetTickCount()) {
  figures_.name = ShortName(std::move(name));
  figures_.total = total;
  figures_.done = done;
}

void Progress::Advance(int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.done += bytes;
  figures_.moved += bytes;
  uint32_t now = platform::GetTickCount();
  if (now - last_draw_ >= 200) Draw(now, false);
}

void Progress::Skip(int64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_.done += bytes;
}

void Progress::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (terminal_ == nullptr) return;
  Draw(platform::GetTickCount(), true);
  std::fputc('\n', terminal_);
}

void Progress::Draw(uint32_t now, bool finished) {
  last_draw_ = now;
  if (terminal_ == nullptr) return;
  figures_.elapsed_ms = now - start_;
  figures_.finished = finished;
  std::string line = FormatProgress(figures_);
  std::fprintf(terminal_, "\r%s\033[K", line.c_str());  // then clear the rest of the line
  std::fflush(terminal_);
}

int Session::Connect() {
  client_.set_lend_results(true);  // every answer is used before the next call
  if (client_.Connect(options_.host.c_str(), options_.port)) return kCliOk;
  reporter_->Report("", "cannot reach the server: " + OneLine(client_.error_text().GetString()));
  return kCliUnreachable;
}

int Session::Fail(const std::string& subject, const std::string& what) {
  reporter_->Report(subject, what);
  return kCliFailed;
}

int Session::Call(const char* procedure, const std::string& subject, const NetValueList& arguments,
                  NetValueList* results) {
  int32_t code = client_.Call(procedure, arguments, results);
  if (code == 0) return kCliOk;
  std::string text = OneLine(client_.error_text().GetString());
  if (code == kSrpcConnectionBroken) {
    reporter_->Report(subject, "connection to the server broke: " + text);
    return kCliUnreachable;
  }
  return Fail(subject, "the server answered " + std::to_string(code) + " " + text);
}

int Session::Remote(RemoteResult result, const std::string& subject) {
  if (result == RemoteResult::kOk) return kCliOk;
  std::string text = RemoteResultText(result, client_);
  if (result == RemoteResult::kFailed && !client_.IsConnected()) {
    reporter_->Report(subject, "connection to the server broke: " + text);
    return kCliUnreachable;
  }
  return Fail(subject, text);
}

int Session::CallLong(const char* procedure, const std::string& subject,
                      const NetValueList& arguments, int32_t* value) {
  NetValueList results;
  int status = Call(procedure, subject, arguments, &results);
  if (status != kCliOk) return status;
  if (results.Count() < 1 || results.Type(0) != NET_LONG) {
    return Fail(subject, "unexpected answer from the server");
  }
  *value = results.GetLong(0);
  return kCliOk;
}

int Session::PathCall(const char* procedure, const std::string& path, const std::string& failure) {
  NetValueList arguments;
  AddString(arguments, path);
  int32_t value = 0;
  int status = CallLong(procedure, path, arguments, &value);
  if (status != kCliOk) return status;
  return value == 1 ? kCliOk : Fail(path, failure);
}

int Session::PathTest(const char* procedure, const std::string& path, bool* yes) {
  NetValueList arguments;
  AddString(arguments, path);
  int32_t value = 0;
  int status = CallLong(procedure, path, arguments, &value);
  *yes = value == 1;
  return status;
}

int Session::FileExists(const std::string& path, bool* exists) {
  return PathTest("plif_file_open", path, exists);
}

int Session::RequireFile(const std::string& path) {
  bool exists = false;
  int status = FileExists(path, &exists);
  if (status != kCliOk) return status;
  return exists ? kCliOk : Fail(path, "no such file on the server");
}

int Session::DirExists(const std::string& path, bool* exists) {
  return PathTest("plif_dir_exists", path, exists);
}

int32_t Session::FreeMegabytes(const std::string& path) {
  NetValueList arguments, results;
  AddString(arguments, path);
  if (client_.Call("plif_get_freespace", arguments, &results) != 0 || results.Count() < 1 ||
      results.Type(0) != NET_LONG) {
    return -1;
  }
  return results.GetLong(0);
}

int Session::MakeDirs(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    bool exists = false;
    int status = DirExists(path, &exists);
    if (status == kCliOk && !exists)
      status = PathCall("plif_mkdir", path, "cannot make the directory");
    if (status != kCliOk) return status;
  }
  return kCliOk;
}

int Session::RemoteLength(const std::string& path, int64_t* length) {
  if (!stat_not_offered_) {
    std::optional<RemoteEntry> entry;
    RemoteResult result = StatPath(client_, path, &entry);
    if (result == RemoteResult::kOk && !entry->is_dir) {
      *length = entry->length;
      return kCliOk;
    }
    if (result == RemoteResult::kOk || result == RemoteResult::kNotFound) {
      return Fail(path, "no such file on the server");
    }
    if (result != RemoteResult::kNotOffered) return Remote(result, path);
    stat_not_offered_ = true;
  }
  return LengthByProbing(path, length);
}

// plif_file_getlength tells a length's low 32 bits only. The whole length is those plus some
// multiple of 4 GiB, found by reading one byte at each 4 GiB step: the byte before the next
// step is there exactly when the file reaches that step.
int Session::LengthByProbing(const std::string& path, int64_t* length) {
  int status = RequireFile(path);
  NetValueList arguments, results;
  AddString(arguments, path);
  if (status == kCliOk) status = Call("plif_file_getlength", path, arguments, &results);
  if (status != kCliOk) return status;
  if (results.Count() < 1 || results.Type(0) != NET_SUPERLONG) {
    return Fail(path, "unexpected answer from the server");
  }
  constexpr int64_t kStep = int64_t{1} << 32;
  for (*length = static_cast<uint32_t>(results.GetSuperLong(0));; *length += kStep) {
    NetValueList probe;
    AddString(probe, path);
    AddSuperLong(probe, *length + kStep - 1);
    AddLong(probe, 1);
    status = Call("plif_file_read", path, probe, &results);
    if (status != kCliOk) return status;
    if (results.Count() < 1 || results.Type(0) != NET_BINARY) {
      return Fail(path, "unexpected answer from the server");
    }
    int read = 0;
    results.GetBinary(0, &read);
    if (read <= 0) return kCliOk;
  }
}
