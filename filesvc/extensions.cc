// The opt-in procedures (contract in extensions.h).
#include "filesvc/extensions.h"

#include <string>
#include <string_view>
#include <vector>

#include "filesvc/pellarymng.h"
#include "platform/fs.h"
#include "runtime/dumpstack.h"
#include "runtime/monitor/logtext.h"
#include "runtime/monitor/ymonitorserver.h"
#include "values/nettable.h"

namespace {

constexpr char kUnit[] = "extensions";

// The columns, in this order.
enum Column { kName = 1, kDir, kLength, kMtime };

NetTable* EntryTable() {
  auto* table = new NetTable(100, 128);
  table->AddColumn("name", NET_CSTRING);
  table->AddColumn("dir", NET_LONG);
  table->AddColumn("length", NET_SUPERLONG);
  table->AddColumn("mtime", NET_SUPERLONG);
  return table;
}

void AddRow(NetTable* table, const std::string& name, const platform::FileStatus& status,
            int64_t length) {
  int row = table->AppendRow();
  table->SetCString(row, kName, CString(name.c_str(), static_cast<int>(name.size())));
  table->SetLong(row, kDir, (status.attributes & platform::kAttributeDirectory) != 0 ? 1 : 0);
  table->SetSuperLong(row, kLength, length);
  table->SetSuperLong(row, kMtime, status.last_write_time);
}

// The result list holding `table` (owned), or a NULL table when there is none.
int32_t AnswerTable(NetValueList* results, NetTable* table) {
  results->Clear();
  results->Append(1);
  if (table == nullptr) {
    results->SetNull(0, NET_TABLE);
  } else {
    results->SetTable(0, table, 1);
  }
  return 0;
}

struct PageRequest {
  std::string pattern;
  std::string after;  // the page starts behind this name
};

// "pattern" or "pattern/name": no name holds a '/', so the first one ends the pattern.
PageRequest SplitPattern(std::string_view argument) {
  size_t slash = argument.find('/');
  if (slash == std::string_view::npos) return {std::string(argument), ""};
  return {std::string(argument.substr(0, slash)), std::string(argument.substr(slash + 1))};
}

// The directory's page, or null when it cannot be listed.
NetTable* ListPage(const CString& dir, const PageRequest& request) {
  if (request.pattern.size() > static_cast<size_t>(kMaxPattern)) return nullptr;
  std::vector<platform::FoundEntry> page;
  if (!platform::ListDirectory(dir, request.pattern.c_str(), request.after, kDirListPage, &page)) {
    return nullptr;
  }
  NetTable* table = EntryTable();
  for (const platform::FoundEntry& entry : page) {
    AddRow(table, entry.name, entry.status, static_cast<int64_t>(entry.status.size));
  }
  return table;
}

std::string LastComponent(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int32_t ListDir(const CString& dir, const NetValueList& arguments, NetValueList* results) {
  const char* pattern = arguments.GetString(1);
  NetTable* table = ListPage(dir, SplitPattern(pattern));
  LogLine("dir_list:%s %s %d\r\n", LogValue(dir).GetString(), LogValue(pattern).GetString(),
          table != nullptr ? table->RowCount() : -1);
  return AnswerTable(results, table);
}

int32_t StatPath(const CString& path, NetValueList* results) {
  FATAL_CHECK(g_pellary_mng != nullptr);
  NetTable* table = EntryTable();
  platform::FileStatus status;
  int64_t length = -1;
  if (platform::GetStatus(path, &status)) {
    length = static_cast<int64_t>(status.size);
    // A file the cache holds has the length its writes gave it.
    bool directory = (status.attributes & platform::kAttributeDirectory) != 0;
    if (!directory) g_pellary_mng->FileLength(path, &length);
    AddRow(table, LastComponent(platform::NativePath(path)), status, length);
  }
  LogLine("file_stat:%s size:%lld\r\n", LogValue(path).GetString(), static_cast<long long>(length));
  return AnswerTable(results, table);
}

int32_t ChecksumRange(const CString& path, const NetValueList& arguments, NetValueList* results) {
  FATAL_CHECK(g_pellary_mng != nullptr);
  int64_t position = arguments.GetSuperLong(1);
  int64_t length = arguments.GetSuperLong(2);
  uint32_t crc = 0;
  int64_t answer = g_pellary_mng->FileChecksum(path, position, length, &crc) ? int64_t{crc} : -1;
  LogLine("file_checksum:%s pos:%lld size:%lld crc:%lld\r\n", LogValue(path).GetString(),
          static_cast<long long>(position), static_cast<long long>(length),
          static_cast<long long>(answer));
  results->Clear();
  results->Append(1);
  results->SetSuperLong(0, answer);
  return 0;
}
