// A DLL that someone has left beside the program under a system DLL's name.
// It only tells on itself: which process loaded it, appended to planted.log
// in its own folder.
#include <windows.h>

static const wchar_t* BaseName(const wchar_t* path)
{
    const wchar_t* base = path;
    for (const wchar_t* at = path; *at != 0; ++at)
        if (*at == L'\\' || *at == L'/')
            base = at + 1;
    return base;
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t dll[MAX_PATH], process[MAX_PATH], log[MAX_PATH + 16];
    if (GetModuleFileNameW(self, dll, MAX_PATH) == 0 || GetModuleFileNameW(nullptr, process, MAX_PATH) == 0)
        return TRUE;
    lstrcpynW(log, dll, MAX_PATH);
    lstrcpyW(const_cast<wchar_t*>(BaseName(log)), L"planted.log");
    char line[2 * MAX_PATH + 4];
    int length = wsprintfA(line, "%ls %ls\r\n", BaseName(dll), BaseName(process));
    HANDLE file = CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, line, static_cast<DWORD>(length), &written, nullptr);
        CloseHandle(file);
    }
    return TRUE;
}
