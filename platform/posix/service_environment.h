// The environment through which systemd, or a stand-in for it, reaches this process: the root
// of the unit files and the socket that takes a service's status reports. Internal to
// platform/posix/; the stand-ins of the test tools set what the server reads here.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

namespace platform {

// Another root for the unit files (see service.h); unset for the running system.
inline constexpr char kServiceRootVariable[] = "PELLARY_SYSTEMD_ROOT";
// The manager's datagram socket; set only in a process that systemd started as a service.
inline constexpr char kNotifyVariable[] = "NOTIFY_SOCKET";

// The address of a NOTIFY_SOCKET text: a socket path, or "@name" in the abstract namespace.
// False for any other text, or one too long for a socket address.
bool NotifyAddress(const char* text, sockaddr_un* address, socklen_t* length);

}  // namespace platform
