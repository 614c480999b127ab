// duoview2-host settings: shows the virtual camera's settings and changes
// them through its own property pages.
#pragma once

#include <vector>

#include "components.h"
#include "options.h"

// Runs on the host's main thread (apartment-threaded). Returns the exit status.
int settingsCommand(const HostOptions& options, const std::vector<VideoDevice>& devices);
