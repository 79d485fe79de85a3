#pragma once

#include "core/startup_options.h"

#include <optional>

// The five options from the process's command line; nothing when any of them is missing or empty.
std::optional<StartupOptions> ParseOptions();
