// A host that lacks one operation (stand_in_host_incomplete.def leaves out
// HOST_UI_write_listing_window): user_exit_start must fail before any host
// call, naming the operation on standard error.
#include "sim_host.h"

#include <cstdio>
#include <string>

#include <windows.h>

int main()
{
    wchar_t temp[MAX_PATH + 1];
    wchar_t file[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, temp) == 0 || GetTempFileNameW(temp, L"kx", 0, file) == 0) return 2;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE error = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (error == INVALID_HANDLE_VALUE) return 2;
    const HANDLE own_error = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, error);

    int result = 0;
    const HMODULE library = LoadLibraryW(L"kxpdm_clone_userexit_v30.dll");
    if (library != nullptr) {
        const auto start = reinterpret_cast<int (*)()>(
            reinterpret_cast<void (*)()>(GetProcAddress(library, "user_exit_start")));
        result = start != nullptr ? start() : 0;
    }
    SetStdHandle(STD_ERROR_HANDLE, own_error);

    std::string said(4096, '\0');
    DWORD got = 0;
    SetFilePointer(error, 0, nullptr, FILE_BEGIN);
    ReadFile(error, said.data(), static_cast<DWORD>(said.size()), &got, nullptr);
    said.resize(got);
    CloseHandle(error);
    DeleteFileW(file);

    bool ok = true;
    auto check = [&ok](bool condition, const char* what) {
        if (!condition) {
            std::printf("FAILED: %s\n", what);
            ok = false;
        }
    };
    check(library != nullptr, "the DLL loads");
    check(result != 0, "user_exit_start fails");
    check(said == "kxpdm_clone_userexit_v30: host operation HOST_UI_write_listing_window not found\n",
          "one line on standard error names the missing operation");
    check(sim::host().calls.empty() && !sim::host().initialized, "no host operation is called");
    std::printf("standard error: [%s]\n", said.c_str());
    if (library != nullptr) FreeLibrary(library);
    return ok ? 0 : 1;
}
