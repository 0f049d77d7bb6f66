// pellary-cli's trees and listings: put -r and get -r copy a directory and everything below it
// file by file (each file as put and get move one), ls lists a server directory and stat
// shows one server path. Listing and stat need the server's opt-in procedures
// (Extensions=1); put -r needs nothing beyond the specified ones.
//
// A tree goes into its target as cp -r puts it: into an existing directory under its own name,
// else as the target itself. put -r reads the whole local tree before it sends anything and
// refuses a tree with names that the server's lower-casing of file paths would make one;
// get -r lists the whole server tree before it writes anything and refuses names that would
// lead out of the target directory.
#pragma once

#include <string>
#include <vector>

#include "client/session.h"

int PutTree(Session& session, const std::string& local, const std::string& remote);
// `local` "" is the server directory's own name in the current directory.
int GetTree(Session& session, const std::string& remote, const std::string& local);

// The commands: their words are the command and its operands.
int Ls(Session& session, const std::vector<std::string>& words);
int Stat(Session& session, const std::vector<std::string>& words);

// A last-write time for people: "2024-05-01 14:03" in local time.
std::string FormatTime(int64_t seconds_since_1970);
