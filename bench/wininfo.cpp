// Reports what Windows itself counts for a running program: its threads and
// its open handles. Run in the same Wine prefix as the program:
//   wininfo.exe NAME.exe    prints "threads N handles N"; exit 1 if not found
// The handles are counted in the system-wide handle table, because Wine's
// GetProcessHandleCount answers 0 for every process.
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cwchar>

// The entry layout of SystemHandleInformation (class 16).
struct HandleEntry {
    USHORT processId;
    USHORT creatorBackTraceIndex;
    UCHAR objectType;
    UCHAR attributes;
    USHORT handle;
    PVOID object;
    ULONG access;
};

struct HandleTable {
    ULONG count;
    HandleEntry entries[1];
};

constexpr SYSTEM_INFORMATION_CLASS kSystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
constexpr ULONG kTableBytes = 16u << 20;
static ULONGLONG TableBuffer[kTableBytes / sizeof(ULONGLONG)];

static bool FindProcess(const wchar_t* name, DWORD* processId, DWORD* threads)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !found;
         more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, name) == 0) {
            *processId = entry.th32ProcessID;
            *threads = entry.cntThreads;
            found = true;
        }
    }
    CloseHandle(snapshot);
    return found;
}

// -1 when the table cannot be read.
static long CountHandles(DWORD processId)
{
    ULONG needed = 0;
    NTSTATUS status = NtQuerySystemInformation(kSystemHandleInformation, TableBuffer,
                                               sizeof TableBuffer, &needed);
    if (status != 0)
        return -1;
    const HandleTable* table = reinterpret_cast<const HandleTable*>(TableBuffer);
    long count = 0;
    for (ULONG i = 0; i < table->count; ++i)
        if (table->entries[i].processId == static_cast<USHORT>(processId))
            ++count;
    return count;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: wininfo NAME.exe\n");
        return 2;
    }
    DWORD processId = 0;
    DWORD threads = 0;
    if (!FindProcess(argv[1], &processId, &threads))
        return 1;
    std::printf("threads %lu handles %ld\n", threads, CountHandles(processId));
    return 0;
}
