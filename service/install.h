// Installing and removing the service with the service manager, for "-install" and "-remove":
// each step that fails is told on `out` with the system's error text, and ends the action.
// Main thread only; nothing here ends the process.
//
// Install records the running executable as the service, started automatically after the
// network is up. Remove stops a running service first, waiting while it stops, then deletes
// it.
#pragma once

#include <cstdio>

void InstallService(std::FILE* out);
void RemoveService(std::FILE* out);
