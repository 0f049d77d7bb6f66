// The profile file: any bytes in pellary.pf, read as the application reads its keys, then an
// edit written back.
#include <cstdio>
#include <string>

#include "app/profile.h"
#include "fuzz/fuzz_target.h"
#include "fuzz/scratch_file.h"

void FuzzProfile(const uint8_t* data, size_t size) {
  ScratchFile file("profile", data, size);
  {
    ProfileFile profile(file.path().c_str(), 60);
    CString value;
    for (const char* key : {"srpc.server.port", "FileDir", "CacheSize", "log.dir", ""}) {
      profile.GetString(key, value, "default");
      profile.GetFloat(key, 1.5f);
    }
    profile.SetString("FileDir", "c:\\files\\");
  }
  ProfileFile again(file.path().c_str(), 60);
  CString value;
  again.GetString("FileDir", value, "");
}

PELLARY_FUZZ_TARGET(FuzzProfile)
