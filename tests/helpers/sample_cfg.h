// sample_cfg.h - test support: the shipped sample settings file and the values its lines carry.
#pragma once

#include <string>
#include <vector>

#include "scratch.h"

// The sample as shipped (its path comes from the build as VISTREL_SAMPLE_CFG).
inline std::string sample_cfg_text() { return read_file(VISTREL_SAMPLE_CFG); }

// The lines of the sample that a bridge acts on: neither empty nor led by "/" or a blank.
inline std::vector<std::string> sample_cfg_setting_lines() {
    std::vector<std::string> lines;
    for (const std::string& line : read_lines(VISTREL_SAMPLE_CFG))
        if (!line.empty() && line[0] != '/' && line[0] != ' ') lines.push_back(line);
    return lines;
}

// The value of the last line that begins with key (the "=" included); "" when none does.
inline std::string sample_cfg_value(const std::string& key) {
    std::string value;
    for (const std::string& line : sample_cfg_setting_lines())
        if (line.compare(0, key.size(), key) == 0) value = line.substr(key.size());
    return value;
}
