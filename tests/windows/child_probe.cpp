// A site program for the Windows tests, run by the library through cmd.exe,
// that tells what such a program gets from it:
//   child_probe args FILE ARG...  writes each ARG, as its C runtime parsed
//                                 it, as "[ARG]\n" to FILE; exits 0
//   child_probe env NAME          exits 0 when NAME is in its environment, 7 when not
//   child_probe handles TEXT      exits 1 when it holds a handle to a file whose
//                                 path contains TEXT, 0 when not
#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

namespace {

std::wstring wide(const char* text)
{
    const int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring result(static_cast<std::size_t>(needed > 0 ? needed : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, result.data(), needed);
    result.resize(result.size() - 1);
    return result;
}

bool holds_file_named(const std::wstring& fragment)
{
    std::vector<wchar_t> path(32768);
    // Handle values are small multiples of four; an inherited one keeps the
    // value it had in the parent.
    for (std::uintptr_t value = 4; value < (1u << 16); value += 4) {
        const auto handle = reinterpret_cast<HANDLE>(value);
        if (GetFileType(handle) != FILE_TYPE_DISK) continue;
        const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
        if (length > 0 && length < path.size() &&
            std::wstring_view(path.data(), length).find(fragment) != std::wstring_view::npos)
            return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    if (mode == "args") {
        std::ofstream out(argv[2], std::ios::binary);
        for (int i = 3; i < argc; ++i) out << '[' << argv[i] << "]\n";
        return out ? 0 : 2;
    }
    if (mode == "env") {
        wchar_t value[8];
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(wide(argv[2]).c_str(), value, 8);
        return length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND ? 7 : 0;
    }
    if (mode == "handles") return holds_file_named(wide(argv[2])) ? 1 : 0;
    return 2;
}
