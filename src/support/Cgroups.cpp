#include "Cgroups.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

// One line of /proc/self/cgroup: its controllers ("" for v2's unified group) and the group's path.
struct Group {
    std::string controllers, path;
    bool has(const char* controller) const {
        return ("," + controllers + ",").find("," + std::string(controller) + ",") !=
               std::string::npos;
    }
};

std::vector<Group> own_groups() {
    std::vector<Group> groups;
    std::ifstream in("/proc/self/cgroup");
    for (std::string line; std::getline(in, line);) {
        size_t first = line.find(':'), second = line.find(':', first + 1);
        if (first != std::string::npos && second != std::string::npos)
            groups.push_back({line.substr(first + 1, second - first - 1), line.substr(second + 1)});
    }
    return groups;
}

// The first word of a file as a number; 0 when absent, unreadable or "max". v1 writes "no limit"
// as a number near 2^63, which the callers take as no limit by comparison.
unsigned long first_number(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    return in >> word && word != "max" ? std::strtoul(word.c_str(), nullptr, 10) : 0;
}

unsigned long whole_cpus(double quota, double period) {
    return quota > 0 && period > 0 ? std::max(1UL, static_cast<unsigned long>(quota / period))
                                   : 0UL;
}

} // namespace

unsigned long cgroupCpuLimit() {
    for (const Group& group : own_groups()) {
        if (group.controllers.empty()) {
            std::ifstream max("/sys/fs/cgroup" + group.path + "/cpu.max");
            std::string quota;
            double period = 0;
            if (max >> quota >> period && quota != "max")
                return whole_cpus(std::atof(quota.c_str()), period);
        } else if (group.has("cpu")) {
            for (const char* mount : {"/sys/fs/cgroup/cpu", "/sys/fs/cgroup/cpu,cpuacct"}) {
                std::ifstream quota(mount + group.path + "/cpu.cfs_quota_us");
                std::ifstream period(mount + group.path + "/cpu.cfs_period_us");
                double q = 0, p = 0;
                if (quota >> q && period >> p)
                    return whole_cpus(q, p); // -1: no quota
            }
        }
    }
    return 0;
}

unsigned long cgroupMemoryLeft() {
    unsigned long left = 0;
    for (const Group& group : own_groups()) {
        unsigned long limit = 0, used = 0;
        if (group.controllers.empty()) {
            limit = first_number("/sys/fs/cgroup" + group.path + "/memory.max");
            used = first_number("/sys/fs/cgroup" + group.path + "/memory.current");
        } else if (group.has("memory")) {
            std::string folder = "/sys/fs/cgroup/memory" + group.path;
            limit = first_number(folder + "/memory.limit_in_bytes");
            used = first_number(folder + "/memory.usage_in_bytes");
        }
        if (limit > 0) {
            unsigned long here = limit > used ? limit - used : 1; // full: next to nothing left
            left = left ? std::min(left, here) : here;
        }
    }
    return left;
}
