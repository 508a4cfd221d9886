// The scripted plug-in's table lives with the plug-ins' installation.
#include "test_plugins.h"
