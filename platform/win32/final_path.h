// The final path of an open handle, as the system names the file it reached: links and
// junctions followed, case as on disk, without the "\\?\" the system puts in front. Shared by
// the path resolution (fs.cc) and the exact open (file.cc). Internal to platform/win32/.
#pragma once

#include <string>

#include "platform/win32/windows_headers.h"

namespace platform {

// False when the system cannot name it.
bool FinalPathOf(HANDLE handle, std::string* final_path);

// Whether two Windows paths name the same entry, compared as the file system compares names
// (without regard to ASCII case).
bool SameNameNoCase(const std::string& a, const std::string& b);

}  // namespace platform
