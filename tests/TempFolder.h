// A new, empty folder in the system's temporary folder for one test's files
// (on every system the tests run on, so no mkdtemp). The caller removes it.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

// The folder's path, or an empty string when none could be made.
inline std::string MakeTempFolder(const std::string& stem)
{
    static std::atomic<unsigned> s_nCounter{0};
    const auto base = std::filesystem::temp_directory_path();
    const auto seed = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto folder = base / (stem + "_" + std::to_string(seed % 1000000007ULL) + "_" + std::to_string(s_nCounter++));
        std::error_code error;
        if (std::filesystem::create_directory(folder, error))
            return folder.string();
    }
    return std::string();
}
