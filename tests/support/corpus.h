// The inputs kept in a corpus folder, in name order, as the replay tests read them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace frix::test {

// (file name, bytes) for every regular file in folder.
inline std::vector<std::pair<std::string, std::vector<std::uint8_t>>> corpus_inputs(
    const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file()) paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> inputs;
    for (const auto& path : paths) {
        std::ifstream file(path, std::ios::binary);
        inputs.emplace_back(path.filename().string(),
                            std::vector<std::uint8_t>{std::istreambuf_iterator<char>(file),
                                                      std::istreambuf_iterator<char>()});
    }
    return inputs;
}

}  // namespace frix::test
