// The tags read and watch work on: those named on the command line, or every
// tag of the server; added to the command's group, unknown names reported.
#pragma once

#include <string>
#include <vector>

#include "ClientIo.h"
#include "OpcSession.h"

// false with the error line written and the exit code set.
bool SelectTags(IOPCServer *server, const std::vector<std::string> &named, std::vector<OleString> &names, ClientIo &io,
                int &exitCode);
bool AddSelectedTags(ClientGroup &group, const std::vector<OleString> &names, std::vector<TagResult> &results,
                     ClientIo &io, int &exitCode);
