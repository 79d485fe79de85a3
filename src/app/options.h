#pragma once

// Fills startupOptions from the process's command line; true when all five are non-empty.
bool ParseOptions();
