// The client process's half of the layer: reaching the process that serves a
// class, starting it from its registered command line when none does.
#pragma once

#include <string>
#include <vector>

#include "platform/com.h"

namespace comremote {

HRESULT ActivateRemote(REFCLSID clsid, REFIID riid, void **object);

// A registered command line as its words: a quoted path (which may hold
// spaces) or bare words; false for an unclosed quote or no word at all.
bool SplitCommandLine(const std::string &line, std::vector<std::string> *words);

// How long a started server has to publish its class object, unless
// BRISVALE_COM_START_TIMEOUT_MS says otherwise.
constexpr int kStartMilliseconds = 30000;
// How long a server has to take a connection and answer its hello, unless
// BRISVALE_COM_CONNECT_TIMEOUT_MS says otherwise.
constexpr int kConnectMilliseconds = 10000;

}  // namespace comremote
