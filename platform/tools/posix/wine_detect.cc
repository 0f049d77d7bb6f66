// POSIX builds never run under Wine.
#include "platform/tools/wine_detect.h"

namespace platform {

bool RunsUnderWine() {
  return false;
}

}  // namespace platform
