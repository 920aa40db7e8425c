// How the toolkit notices a client that vanished without letting go of its
// objects (its process died): the answers of its callbacks.
#pragma once

#include "opc_da.h"

// A callback's answer that says the client is gone for good: calling it again
// only costs time.
bool ClientVanished(HRESULT result);

// How the toolkit lets go of a vanished client's session: CoDisconnectObject,
// which drops the references that the client holds through the remote layer,
// so that the session's final release comes. Tests put their own call here to
// watch it.
extern HRESULT (*disconnect_object)(IUnknown *object, DWORD reserved);
