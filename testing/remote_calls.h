// Calls of the file service's procedures for the end-to-end tests: argument lists from C++
// values and the one result of a call as a C++ value.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "srpc/srpcclient.h"

namespace e2e {

// What the helpers give when the call itself failed or answered another type.
constexpr int32_t kCallFailed = -999;

// A NET_BINARY argument.
struct Bytes {
  std::string data;
};

// A NULL argument of a NET_ type.
struct Null {
  int type;
};

// Argument lists from C++ values: texts (const char* or std::string) as NET_STRING, int64_t
// as NET_SUPERLONG, int32_t as NET_LONG, Bytes as NET_BINARY, Null as a NULL of its type.
inline NetValueList& Args(NetValueList& list) {
  return list;
}
template <typename... Rest>
NetValueList& Args(NetValueList& list, const Null& null, Rest... rest);
template <typename... Rest>
NetValueList& Args(NetValueList& list, const std::string& text, Rest... rest);
template <typename... Rest>
NetValueList& Args(NetValueList& list, int64_t number, Rest... rest);
template <typename... Rest>
NetValueList& Args(NetValueList& list, int32_t number, Rest... rest);
template <typename... Rest>
NetValueList& Args(NetValueList& list, const Bytes& bytes, Rest... rest);

template <typename... Rest>
NetValueList& Args(NetValueList& list, const char* text, Rest... rest) {
  list.SetString(list.Append(1) - 1, text);
  return Args(list, rest...);
}
template <typename... Rest>
NetValueList& Args(NetValueList& list, const std::string& text, Rest... rest) {
  return Args(list, text.c_str(), rest...);
}
template <typename... Rest>
NetValueList& Args(NetValueList& list, int64_t number, Rest... rest) {
  list.SetSuperLong(list.Append(1) - 1, number);
  return Args(list, rest...);
}
template <typename... Rest>
NetValueList& Args(NetValueList& list, int32_t number, Rest... rest) {
  list.SetLong(list.Append(1) - 1, number);
  return Args(list, rest...);
}
template <typename... Rest>
NetValueList& Args(NetValueList& list, const Bytes& bytes, Rest... rest) {
  list.SetBinary(list.Append(1) - 1, bytes.data.data(), static_cast<int>(bytes.data.size()));
  return Args(list, rest...);
}
template <typename... Rest>
NetValueList& Args(NetValueList& list, const Null& null, Rest... rest) {
  list.SetNull(list.Append(1) - 1, null.type);
  return Args(list, rest...);
}

// One argument of any kind above, for tables of calls: Args(list, {path, int64_t{0}, ...}).
using Arg = std::variant<std::string, int64_t, int32_t, Bytes, Null>;
inline NetValueList& Args(NetValueList& list, const std::vector<Arg>& arguments) {
  for (const Arg& argument : arguments) {
    std::visit([&list](const auto& value) { Args(list, value); }, argument);
  }
  return list;
}

inline bool OneResult(const NetValueList& results, int type) {
  return results.Count() == 1 && results.Type(0) == type;
}

// The NET_LONG that the procedure answers, or kCallFailed.
template <typename... A>
int32_t CallLong(SrpcClient& client, const char* procedure, A... arguments) {
  NetValueList list, results;
  bool answered = client.Call(procedure, Args(list, arguments...), &results) == 0;
  return answered && OneResult(results, NET_LONG) ? results.GetLong(0) : kCallFailed;
}

// plif_file_getlength: the NET_SUPERLONG, or kCallFailed.
inline int64_t Length(SrpcClient& client, const std::string& path) {
  NetValueList list, results;
  bool answered = client.Call("plif_file_getlength", Args(list, path), &results) == 0;
  return answered && OneResult(results, NET_SUPERLONG) ? results.GetSuperLong(0) : kCallFailed;
}

// plif_file_read: the bytes, or "(call failed)".
inline std::string Read(SrpcClient& client, const std::string& path, int64_t offset, int32_t size) {
  NetValueList list, results;
  if (client.Call("plif_file_read", Args(list, path, offset, size), &results) != 0 ||
      !OneResult(results, NET_BINARY)) {
    return "(call failed)";
  }
  int length = 0;
  const char* bytes = results.GetBinary(0, &length);
  return std::string(bytes != nullptr ? bytes : "", length);
}

inline int32_t Write(SrpcClient& client, const std::string& path, int64_t offset,
                     const std::string& bytes) {
  return CallLong(client, "plif_file_write", path, offset, Bytes{bytes});
}

}  // namespace e2e
