// OLE's uniform data transfer (global memory, clipboard formats, IDataObject,
// IAdviseSink): the system's, marshalled by the system's own proxies.
#pragma once

// windows.h first: the others build on it.
// clang-format off
#include <windows.h>
#include <objidl.h>
#include <ole2.h>
// clang-format on
