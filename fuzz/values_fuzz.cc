// An argument list's bytes as they follow a request's procedure reference.
#include "fuzz/fuzz_target.h"
#include "values/netdat.h"

void FuzzValues(const uint8_t* data, size_t size) {
  NetValueList values;
  values.Decode(data, static_cast<int>(size));
  // What a handler would do with them: every value read as its own type.
  for (int i = 0; i < values.Count(); ++i) {
    int length = 0;
    switch (values.Type(i)) {
      case NET_STRING:
        values.GetString(i);
        break;
      case NET_BINARY:
        values.GetBinary(i, &length);
        break;
      default:
        break;
    }
  }
}

PELLARY_FUZZ_TARGET(FuzzValues)
