// own_block.h - test support: a block that the test publishes itself under this run's name.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "mp_tags.h"
#include "vp.h"

// A block that the test publishes itself (a bridge's, under its name for this run): its tags set and changed at will, each
// change published with the time of now, as the bridge publishes its block.
class OwnBlock {
public:
    OwnBlock() = default;
    OwnBlock(const OwnBlock&) = delete;
    OwnBlock& operator=(const OwnBlock&) = delete;
    ~OwnBlock() {
        if (view_ != nullptr) vp_shm_unmap(view_, MP_BLOCK_SIZE);
        if (open_) vp_shm_close(shm_);
    }
    bool open(const std::string& name) {
        if (vp_shm_open(name.c_str(), MP_BLOCK_SIZE, &shm_) != 0) return false;
        open_ = true;
        return vp_shm_map(shm_, MP_BLOCK_SIZE, 1, &view_) == 0;
    }
    void set(const std::string& tag, const std::string& text) {
        bool found = false;
        for (auto& t : tags_)
            if (t.first == tag) t.second = text, found = true;
        if (!found) tags_.emplace_back(tag, text);
        publish();
    }
    void publish() {
        std::vector<MP_TagEntry> table(tags_.size() + 1);
        memcpy(table[0].name, "Numtags", 8);
        table[0].len = static_cast<int32_t>(tags_.size());
        table[0].time = static_cast<int32_t>(time(nullptr));
        snprintf(table[0].string, sizeof table[0].string, "OK");
        for (size_t i = 0; i < tags_.size(); i++) {
            MP_TagEntry& e = table[i + 1];
            e.len = snprintf(e.name, sizeof e.name, "%s", tags_[i].first.c_str());
            e.type = MP_TYPE_TEXT;
            e.ival = atoi(tags_[i].second.c_str());
            snprintf(e.string, sizeof e.string, "%s", tags_[i].second.c_str());
        }
        memcpy(view_, table.data(), table.size() * sizeof table[0]);
    }

private:
    vp_shm shm_ = VP_NO_SHM;
    bool open_ = false;
    void* view_ = nullptr;
    std::vector<std::pair<std::string, std::string>> tags_;
};

