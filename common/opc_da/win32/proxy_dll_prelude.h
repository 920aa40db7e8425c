/* Included before widl's C proxy code. mingw-w64 declares these rpcrt4
   exports for C++ only, and the generated vtables name them. */
#pragma once

#include <objbase.h>

#include "opc_da_proxy.h"

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown *This, REFIID riid, void **ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown *This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown *This);
