// The process-wide static objects, all defined in this one file because their
// order matters: the field-bus link, then the tag configuration, then the
// class factory with its lock. They are constructed before main and destroyed
// in reverse order after it has returned.
#include "process_objects.h"

// The field-bus link and the tag configuration are defined here, ahead of the
// factory, once they exist.

myClassFactory server_factory;
