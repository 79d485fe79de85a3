#include "core/startup_options.h"

StartupOptions startupOptions;
