#include "engine/memory.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <limits>
#include <sstream>

namespace kestrova::engine {
namespace {

bool read_number(const char* path, uint64_t& out) {
    std::ifstream in(path);
    std::string word;
    if (!(in >> word) || word == "max") return false;
    try {
        out = std::stoull(word);
    } catch (...) {
        return false;
    }
    return true;
}

}  // namespace

uint64_t available_memory() {
    uint64_t available = std::numeric_limits<uint64_t>::max();
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);) {
        if (line.rfind("MemAvailable:", 0) != 0) continue;
        std::istringstream fields(line.substr(13));
        uint64_t kib = 0;
        if (fields >> kib) available = kib * 1024;
        break;
    }
    uint64_t limit = 0, current = 0;
    if (read_number("/sys/fs/cgroup/memory.max", limit) && read_number("/sys/fs/cgroup/memory.current", current))
        available = std::min(available, limit > current ? limit - current : 0);
    return available;
}

std::string gib(uint64_t bytes) {
    char text[32];
    if (bytes < (uint64_t(1) << 30))
        std::snprintf(text, sizeof text, "%.0f MiB", double(bytes) / double(uint64_t(1) << 20));
    else
        std::snprintf(text, sizeof text, "%.1f GiB", double(bytes) / double(uint64_t(1) << 30));
    return text;
}

std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

}  // namespace kestrova::engine
