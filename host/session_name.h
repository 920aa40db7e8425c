// The name of one client session: "#<client number> <user id>".
#pragma once

#include "platform/win_types.h"

// A new buffer of the user id's length plus 16 wide characters, or null when
// it cannot be allocated. Free it with free_session_name.
wchar_t *make_session_name(LONG client, const wchar_t *user);
void free_session_name(wchar_t *name);
