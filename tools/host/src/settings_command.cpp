// The settings command (placeholder until it drives the property pages).
#include "settings_command.h"

#include <cstdio>

int settingsCommand(const HostOptions&, const std::vector<VideoDevice>&) {
    const StoredSettings stored = readStoredSettings();
    std::printf("mode %lu, swap %lu, size %lu, left \"%s\", right \"%s\"\n", static_cast<unsigned long>(stored.mode),
                static_cast<unsigned long>(stored.swap), static_cast<unsigned long>(stored.size), stored.leftName.c_str(),
                stored.rightName.c_str());
    return 0;
}
