// Defines the identifiers that the widl header declares.
#include <initguid.h>

#include "control/com/guids.h"
