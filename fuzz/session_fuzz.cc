// The session's receive side fed a byte stream as a client could send it: keep-alives, stray
// bytes, plain and extended packets of any length, cut into receives of varying sizes (the
// first byte chooses them). Every complete packet is read as a request, as the server does.
#include "fuzz/fuzz_target.h"
#include "srpc/packet.h"
#include "values/netdat.h"

void FuzzSession(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const int chunk = 1 + data[0] % 64;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  int left = static_cast<int>(size - 1);
  SrpcPacketReader reader;
  NetValueList arguments;
  while (left > 0) {
    int consumed = 0;
    int offered = left < chunk ? left : chunk;
    SrpcPacketReader::Event event = reader.Feed(bytes, offered, &consumed);
    bytes += consumed;
    left -= consumed;
    if (event == SrpcPacketReader::Event::kPacket) {
      SrpcRequest request;
      reader.packet().ReadRequest(&request);
      reader.packet().DecodeValues(arguments);
    } else if (event == SrpcPacketReader::Event::kNeedMore && consumed == 0) {
      break;  // a reader that takes nothing would loop forever: the caller drops the session
    }
  }
}

PELLARY_FUZZ_TARGET(FuzzSession)
