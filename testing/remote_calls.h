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

// One argument: a text as NET_STRING, int64_t as NET_SUPERLONG, int32_t as NET_LONG, Bytes as
// NET_BINARY, Null as a NULL of its type.
using Arg = std::variant<std::string, int64_t, int32_t, Bytes, Null>;

inline void Append(NetValueList& list, const Arg& argument) {
  int at = list.Append(1) - 1;
  if (const auto* text = std::get_if<std::string>(&argument)) {
    list.SetString(at, text->c_str());
  } else if (const auto* number = std::get_if<int64_t>(&argument)) {
    list.SetSuperLong(at, *number);
  } else if (const auto* number = std::get_if<int32_t>(&argument)) {
    list.SetLong(at, *number);
  } else if (const auto* bytes = std::get_if<Bytes>(&argument)) {
    list.SetBinary(at, bytes->data.data(), static_cast<int>(bytes->data.size()));
  } else {
    list.SetNull(at, std::get<Null>(argument).type);
  }
}

// Argument lists from C++ values, or from a table's row: Args(list, {path, int64_t{0}, ...}).
template <typename... A>
NetValueList& Args(NetValueList& list, const A&... arguments) {
  (Append(list, Arg(arguments)), ...);
  return list;
}
inline NetValueList& Args(NetValueList& list, const std::vector<Arg>& arguments) {
  for (const Arg& argument : arguments) Append(list, argument);
  return list;
}

// A request for `procedure` as a client sends it over the wire.
inline std::string Request(const char* procedure, NetValueList& arguments) {
  SrpcPacketWriter writer;
  writer.BeginPlain(kSrpcRequest);
  writer.PutProcName(procedure);
  writer.PutValues(arguments);
  const char* bytes = nullptr;
  int length = 0;
  return writer.Finish(&bytes, &length) ? std::string(bytes, length) : "";
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

// What an acknowledged write does to a model of the file's bytes.
inline void ApplyWrite(std::string& file, int64_t offset, const std::string& bytes) {
  if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size(), '\0');
  file.replace(static_cast<size_t>(offset), bytes.size(), bytes);
}

inline int32_t Write(SrpcClient& client, const std::string& path, int64_t offset,
                     const std::string& bytes) {
  return CallLong(client, "plif_file_write", path, offset, Bytes{bytes});
}

}  // namespace e2e
