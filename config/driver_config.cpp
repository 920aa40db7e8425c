#include "driver_config.h"

TagConfig driverConfig;
