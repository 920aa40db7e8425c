// Registration of the server with COM, and its removal.
#pragma once

// Both print their progress and outcome on the console and log it; false on
// failure. program is the name the process was started with.
bool register_server(const char *argument, const char *program);
bool unregister_server(const char *program);
