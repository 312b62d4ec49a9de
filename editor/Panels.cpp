#include "Panels.h"
