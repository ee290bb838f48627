// Files for the Windows tests: names in the ANSI code page the host hands
// over, opened through the UTF-16 file system.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <windows.h>

namespace kxtest {

inline std::filesystem::path ansi_path(const std::string& text)
{
    const int needed = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), needed);
    return std::filesystem::path(wide);
}

inline void write_file(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string read_all(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace kxtest
