#pragma once
// A turn's end may start a sweep of the turn folder on a detached thread
// named "quorlin-sweep": tests that count threads or descriptors, or remove
// the folder, wait for it first (bounded).

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace quorlin::probe_testing {

inline bool sweep_thread_running() {
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) return false;
    bool found = false;
    while (const dirent* entry = ::readdir(dir)) {
        std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
        std::string name;
        found = found || (std::getline(comm, name) && name == "quorlin-sweep");
    }
    ::closedir(dir);
    return found;
}

inline void sweeps_ended() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sweep_thread_running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace quorlin::probe_testing
