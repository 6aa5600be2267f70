// Who takes part in the resident server's queue, and whether they are still
// alive. Both are locks on files in the owner-only work folder, so they are
// keyed by the program's folder (two copies of a program in two folders never
// see each other) and go with their process however it ends:
//
//   prefix + "_P"                   held by the one resident server
//   prefix + "_C_" + id + "_LCK"    held by a client for as long as it lives
//
// A lock file that nobody holds is a leftover; its request and answer files
// belong to a client that is gone.
#pragma once

#include <string>

namespace pithorama {

// The server's presence. Taken once per process (both CGI gateways of one
// process share it); false when another process is the server.
bool TakeServerPresence();
// Whether some process, this one included, is the resident server.
bool ServerPresent();

// The client's lock, taken before its request file is written and held until
// the process ends. `base` is prefix + "_C_" + id + "_" (the request file's
// name without "REQ").
bool TakeClientLock(const std::string& base);
// Deletes this process's client lock file at its end.
void DropClientLock();

// Whether the client whose request file is `requestFile` (a name ending in
// "_REQ") has ended: its lock file is missing or nobody holds it.
bool ClientGone(const std::string& requestFile);

// Deletes the request, answer and lock files of every client that is gone,
// sparing those written less than `minimumAgeSeconds` ago (a client that has
// made its lock file but not locked it yet). Answers how many it deleted.
int DeleteFilesOfGoneClients(double minimumAgeSeconds);

}  // namespace pithorama
