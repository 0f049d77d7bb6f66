// pellary: the executable. Its main is the service host, which runs the application main as a
// console program or as the service, or installs or removes the service.
#include <cstdio>

#include "app/appmain.h"
#include "app/mainpub.h"
#include "service/servicehost.h"

int main(int argc, char** argv) {
  // Under systemd standard output is a pipe to the journal: a line should reach it when it is
  // written, not when a buffer fills.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  return RunServiceHost(argc, argv, ServiceApplication{AppMain, StopServer}, stdout);
}
