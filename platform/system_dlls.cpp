#include "platform/system_dlls.h"

void RestrictDllSearchToSystem32()
{
    // Windows 7 has the call only with KB2533623; imported, its absence
    // would stop the program from starting at all.
    BOOL(WINAPI * setDefaultDirectories)(DWORD);
    if (FindCall(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories",
                 &setDefaultDirectories) &&
        setDefaultDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    // Without it, at least the current directory leaves the search.
    SetDllDirectoryW(L"");
}

HMODULE LoadSystem32Library(const wchar_t* name)
{
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;

    // The flag is unknown here (Windows 7 without KB2533623): name the file
    // by its full path, and let its own imports be looked for beside it.
    wchar_t path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    if (path[length - 1] != L'\\')
        path[length++] = L'\\';
    if (lstrlenW(name) >= MAX_PATH - static_cast<int>(length))
        return nullptr;
    lstrcpyW(path + length, name);
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
