// The client side of SRPC: requests out, answers in.
#include "srpc/srpcclient.h"

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace {

// Bytes as a user may read them in one line: printable ASCII as it is, the rest escaped, at
// most kShown of them.
std::string Shown(std::string_view bytes) {
  constexpr size_t kShown = 32;
  std::string text;
  for (size_t i = 0; i < bytes.size() && i < kShown; ++i) {
    unsigned char byte = static_cast<unsigned char>(bytes[i]);
    if (byte == '"' || byte == '\\') {
      text += '\\';
      text += static_cast<char>(byte);
    } else if (byte >= 0x20 && byte < 0x7F) {
      text += static_cast<char>(byte);
    } else if (byte == '\r' || byte == '\n') {
      text += byte == '\r' ? "\\r" : "\\n";
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      text += escaped;
    }
  }
  return bytes.size() > kShown ? text + "..." : text;
}

}  // namespace

SrpcClient::SrpcClient() = default;

SrpcClient::~SrpcClient() {
  Close();
}

bool SrpcClient::Connect(const char* host, int port) {
  Close();
  socket_ = std::make_unique<StdSocket>();
  reader_ = std::make_unique<SrpcPacketReader>(SrpcPeer::kClient);
  socket_->set_timeout(answer_timeout_);
  CString port_text;
  port_text.Format("%d", port);
  if (socket_->Connect(host, port_text)) return true;
  error_text_ = socket_->error_text();  // names the step, the address and the reason
  socket_.reset();
  return false;
}

void SrpcClient::Close() {
  if (socket_ != nullptr) socket_->Close(true);
  socket_.reset();
}

bool SrpcClient::IsConnected() const {
  return socket_ != nullptr && socket_->IsConnected();
}

int32_t SrpcClient::Call(const char* procedure, const NetValueList& arguments,
                         NetValueList* results) {
  if (!SendRequest(kSrpcRequest, procedure, nullptr, arguments)) return Broken("send");
  return ReadAnswer(results);
}

int32_t SrpcClient::CallIndex(uint32_t index, const NetValueList& arguments,
                              NetValueList* results) {
  if (!SendRequest(kSrpcRequest, nullptr, &index, arguments)) return Broken("send");
  return ReadAnswer(results);
}

bool SrpcClient::Send(const char* procedure, const NetValueList& arguments) {
  return SendRequest(kSrpcOneWay, procedure, nullptr, arguments);
}

bool SrpcClient::SendIndex(uint32_t index, const NetValueList& arguments) {
  return SendRequest(kSrpcOneWay, nullptr, &index, arguments);
}

bool SrpcClient::KeepAlive() {
  if (!IsConnected()) return false;
  char keep_alive = static_cast<char>(kSrpcKeepAlive);
  return socket_->SendAll(&keep_alive, 1);
}

int32_t SrpcClient::FindProc(const char* procedure) {
  NetValueList arguments;
  arguments.Append(1);
  arguments.SetString(0, procedure);
  NetValueList results;
  int32_t code = Call("corvexa_srpc_findcmd", arguments, &results);
  if (code != 0) return code < -1 ? code : -2;
  if (results.Count() != 1 || results.Type(0) != NET_LONG) return -2;
  return results.GetLong(0);
}

bool SrpcClient::SendRequest(uint8_t kind, const char* procedure, const uint32_t* index,
                             const NetValueList& arguments) {
  if (!IsConnected()) {
    error_text_ = "not connected";
    return false;
  }
  if (index != nullptr) {
    writer_.BeginExtended(kind);
    writer_.PutProcIndex(*index);
  } else {
    writer_.BeginPlain(kind);
    writer_.PutProcName(procedure);
  }
  // A large binary goes out from the arguments themselves, which stay unchanged meanwhile.
  SrpcPieces pieces;
  if (!writer_.PutValues(arguments, true) || !writer_.Finish(&pieces)) {
    error_text_ = "the request could not be encoded";
    return false;
  }
  bool sent = socket_->SendPieces(pieces.piece, pieces.count);
  writer_.Trim();
  return sent;
}

int32_t SrpcClient::ReadAnswer(NetValueList* results) {
  results->Clear();
  uint32_t start = platform::GetTickCount();
  for (;;) {
    SrpcPacketReader::Result received = reader_->Receive(*socket_);
    if (received == SrpcPacketReader::Result::kFailed) return Broken("receive");
    if (received == SrpcPacketReader::Result::kPacket) break;
    // An SRPC server sends packets and keep-alives only: anything else is another kind of
    // server (a log stream, a web server), and waiting for an answer from it would be in vain.
    if (reader_->stopped_at_stray_byte()) return NotSrpc();
    if (!socket_->IsConnected()) return Broken("receive");
    if (platform::GetTickCount() - start > static_cast<uint32_t>(answer_timeout_) * 1000u) {
      return Broken("no answer in time");
    }
  }
  SrpcPacket& packet = reader_->packet();
  if (packet.Kind() == kSrpcAnswer) {
    packet.DecodeValues(*results, INT_MAX, lend_results_);
    return 0;
  }
  NetValueList error;
  packet.DecodeValues(error);
  if (error.Count() != 2 || error.Type(0) != NET_LONG || error.Type(1) != NET_STRING) {
    return Broken("malformed error answer");
  }
  error_text_ = error.GetString(1);
  return error.GetLong(0);
}

int32_t SrpcClient::NotSrpc() {
  std::string text =
      "the peer is not an SRPC server (it sent \"" + Shown(reader_->last_fill()) + "\")";
  error_text_ = text.c_str();
  Close();
  return kSrpcConnectionBroken;
}

int32_t SrpcClient::Broken(const char* what) {
  CString reason = socket_ != nullptr ? socket_->error_text() : CString("not connected");
  error_text_.Format("connection broken (%s): %s", what,
                     reason.IsEmpty() ? "closed by the server" : reason.GetString());
  Close();
  return kSrpcConnectionBroken;
}
