// The catalogue is public; the library's sources name it by this path too.
#pragma once

#include "qelcomm/catalogue.h"
