// The process-wide static objects, all defined in this one file because their
// order matters: the field-bus link, then the tag configuration, then the
// class factory with its lock. They are constructed before main and destroyed
// in reverse order after it has returned.
#include "process_objects.h"

#include "ModbusLink.h"
#include "driver_config.h"

ModbusLink modbusLink;
TagConfig driverConfig;
myClassFactory server_factory;
