// The application main: the body of the service, run once by the service host (and by the
// console modes). It starts everything, serves until StopServer, and takes everything down
// in a fixed order: sessions, diagnostics, the SRPC server, the disk manager (which flushes
// the files cache), the monitor listener, the log server and the profile. Returns 0.
//
// argv[1], when given, names the profile; otherwise "pellary.pf" in the program directory.
#pragma once

int AppMain(int argc, char** argv);
