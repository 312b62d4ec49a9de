#include "MyLookAndFeel.h"
