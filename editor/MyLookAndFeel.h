#pragma once

#include <JuceHeader.h>
#include "SharedTables.h"
