// The process-wide static objects of the server.
#pragma once

#include "class_factory.h"

extern myClassFactory server_factory;
