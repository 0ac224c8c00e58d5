// The real Windows services behind the monitor: echo requests to loopback
// and to a silent test host, address parsing, the stop signal, and where
// DLLs come from once the search is restricted.
// Every request goes to 127.0.0.1 or to the namespace host named in
// VIMRA_SILENT_HOST, and each test sends at most a handful.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "monitor/latency_status.h"
#include "monitor/probe_loop.h"
#include "monitor/probe_target.h"
#include "platform/probe_ops.h"
#include "platform/system_dlls.h"

namespace {

constexpr uint32_t kLoopback = 0x0100007Fu;  // 127.0.0.1, network byte order

struct EchoResult {
    uint32_t count;
    uint32_t status;
    uint32_t roundTrip;
    int64_t elapsedMs;
};

int64_t MsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// One request exactly as the monitor sends it: 32 zero bytes, a 72-byte
// reply buffer and the 1500 ms time-out.
EchoResult SendOne(uint32_t address)
{
    static const uint8_t payload[kEchoPayloadSize] = {};
    uint8_t reply[kReplyBufferSize] = {};
    EchoResult result = {};
    void* echo = Probe.OpenEcho();
    EXPECT_NE(echo, nullptr);
    if (echo == nullptr)
        return result;
    auto start = std::chrono::steady_clock::now();
    result.count = Probe.SendEcho(echo, address, payload, kEchoPayloadSize, reply, sizeof reply,
                                  kEchoTimeoutMs);
    result.elapsedMs = MsSince(start);
    Probe.CloseEcho(echo);
    std::memcpy(&result.status, reply + kReplyStatusOffset, sizeof result.status);
    std::memcpy(&result.roundTrip, reply + kReplyRoundTripOffset, sizeof result.roundTrip);
    return result;
}

// Points the monitor at `text` as start-up would.
int OpenTarget(const char* text)
{
    char16_t wide[kTargetTextCapacity] = {};
    for (uint32_t i = 0; text[i] != 0 && i < kTargetTextCapacity - 1; ++i)
        wide[i] = static_cast<unsigned char>(text[i]);
    return OpenProbeTarget(wide);
}

}  // namespace

TEST(PlatformAddress, ParsesLikeInetAddr)
{
    const struct {
        const char* text;
        uint32_t address;
    } cases[] = {
        {"127.0.0.1", kLoopback},
        {"198.18.1.2", 0x020112C6u},
        {"255.255.255.255", kAddressNone},  // indistinguishable from failure
        {"example.com", kAddressNone},      // never looked up
        {"1.2.3.4.5", kAddressNone},
        {"", kAddressNone},  // the monitor refuses empty text before parsing
    };
    for (const auto& c : cases)
        EXPECT_EQ(Probe.ParseAddress(c.text), c.address) << '"' << c.text << '"';
}

TEST(PlatformEcho, LoopbackAnswersQuickly)
{
    EchoResult r = SendOne(kLoopback);
    ASSERT_GE(r.count, 1u);
    EXPECT_EQ(r.status, kReplySuccess);
    EXPECT_LT(r.roundTrip, 50u);
    EXPECT_LT(r.elapsedMs, 1000);
}

TEST(PlatformEcho, MonitorSamplesLoopback)
{
    ASSERT_EQ(OpenTarget("127.0.0.1"), 0);
    for (int i = 0; i < 3; ++i) {
        bool replied = false;
        EXPECT_LT(ProbeOnce(&replied), 100u) << "request " << i;
        EXPECT_TRUE(replied);
    }
}

TEST(PlatformEcho, SilentHostTimesOut)
{
    const char* host = std::getenv("VIMRA_SILENT_HOST");
    if (host == nullptr || host[0] == 0)
        GTEST_SKIP() << "VIMRA_SILENT_HOST is not set: no namespace test host could be made here"
                        " (harness/testhost.py available)";

    uint32_t address = Probe.ParseAddress(host);
    ASSERT_NE(address, kAddressNone) << host;
    EchoResult r = SendOne(address);
    EXPECT_EQ(r.count, 0u);
    EXPECT_GE(r.elapsedMs, 1400);
    EXPECT_LE(r.elapsedMs, 2500);

    ASSERT_EQ(OpenTarget(host), 0);
    bool replied = true;
    EXPECT_EQ(ProbeOnce(&replied), kSampleNoReply);
    EXPECT_FALSE(replied);
}

// The stop signal cannot be lowered again, so CTest runs this case in a
// process of its own.
TEST(PlatformStop, SignalCutsPausesShort)
{
    auto start = std::chrono::steady_clock::now();
    Probe.Pause(300);
    int64_t unsignalled = MsSince(start);
    EXPECT_GE(unsignalled, 280);
    EXPECT_LT(unsignalled, 1000);

    int64_t paused = -1;
    std::chrono::steady_clock::time_point woken;
    std::thread sleeper([&] {
        auto begin = std::chrono::steady_clock::now();
        Probe.Pause(5000);
        woken = std::chrono::steady_clock::now();
        paused = MsSince(begin);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto raised = std::chrono::steady_clock::now();
    Probe.RaiseStopSignal();
    sleeper.join();
    EXPECT_LT(paused, 4000);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(woken - raised).count(), 200);

    // Once raised, later pauses do not wait at all.
    start = std::chrono::steady_clock::now();
    Probe.Pause(5000);
    EXPECT_LT(MsSince(start), 100);
}

// ---- Where DLLs come from ---------------------------------------------------
// The search restriction is one-way for the process, so CTest runs each of
// these cases in a process of its own. vimra-beside.dll is built beside this
// test program, as a stranger's DLL lies beside a downloaded one; the cases
// put a copy in a folder of their own, make it the current directory, and
// load both by bare name. Neither name is a KnownDLL or one of Wine's own,
// so only the search order can find them.

namespace {

wchar_t Folder[MAX_PATH];

// Makes a folder holding vimra-here.dll the current directory.
void EnterFolderWithPlantedDll()
{
    wchar_t beside[MAX_PATH], here[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, beside, MAX_PATH), 0u);
    lstrcpyW(wcsrchr(beside, L'\\') + 1, L"vimra-beside.dll");
    ASSERT_NE(GetFileAttributesW(beside), INVALID_FILE_ATTRIBUTES) << "built beside the test";
    ASSERT_GT(GetTempPathW(MAX_PATH - 40, Folder), 0u);
    wsprintfW(Folder + lstrlenW(Folder), L"vimra-cwd-%lu", GetCurrentProcessId());
    CreateDirectoryW(Folder, nullptr);
    wsprintfW(here, L"%ls\\vimra-here.dll", Folder);
    ASSERT_TRUE(CopyFileW(beside, here, FALSE));
    ASSERT_TRUE(SetCurrentDirectoryW(Folder));
}

void LeaveFolder()
{
    wchar_t here[MAX_PATH];
    wsprintfW(here, L"%ls\\vimra-here.dll", Folder);
    FreeLibrary(GetModuleHandleW(L"vimra-here.dll"));
    SetCurrentDirectoryW(L"\\");
    DeleteFileW(here);
    RemoveDirectoryW(Folder);
}

std::string Shown(const wchar_t* text)
{
    return testing::PrintToString(std::wstring(text));
}

// System32's iphlpapi.dll, by its full path.
void System32Iphlpapi(wchar_t (&path)[MAX_PATH])
{
    lstrcpyW(path + GetSystemDirectoryW(path, MAX_PATH), L"\\iphlpapi.dll");
}

// Whether the ICMP library the monitor gets is System32's, and answers loopback.
void ExpectEchoFromSystem32()
{
    wchar_t expected[MAX_PATH], loaded[MAX_PATH] = L"(not loaded)";
    System32Iphlpapi(expected);
    HMODULE icmp = LoadSystem32Library(L"iphlpapi.dll");
    if (icmp != nullptr)
        GetModuleFileNameW(icmp, loaded, MAX_PATH);
    EXPECT_EQ(lstrcmpiW(loaded, expected), 0) << "iphlpapi.dll came from " << Shown(loaded);
    EchoResult r = SendOne(kLoopback);
    EXPECT_GE(r.count, 1u);
    EXPECT_EQ(r.status, kReplySuccess);
}

// Windows Vista and 7 without KB2533623, imitated by rewriting this test
// program's own imports, which the code under test calls through: kernel32
// has no SetDefaultDllDirectories, and the loader refuses the
// LOAD_LIBRARY_SEARCH_ flags as parameters it does not know.
FARPROC(WINAPI* RealGetProcAddress)(HMODULE, LPCSTR);
HMODULE(WINAPI* RealLoadLibraryExW)(LPCWSTR, HANDLE, DWORD);
BOOL(WINAPI* RealSetDllDirectoryW)(LPCWSTR);
wchar_t LastLoadedName[MAX_PATH];

// Windows takes the current directory out of the search when given "";
// Wine keeps it there (measured: Wine 8 and 10 still load a DLL found only in the
// current directory), and drops it only for a named folder. Naming System32,
// searched anyway, gives Windows' result on Wine.
BOOL WINAPI OldSetDllDirectoryW(LPCWSTR folder)
{
    wchar_t system[MAX_PATH];
    if (folder != nullptr && folder[0] == 0 && GetSystemDirectoryW(system, MAX_PATH) != 0)
        return RealSetDllDirectoryW(system);
    return RealSetDllDirectoryW(folder);
}

FARPROC WINAPI OldGetProcAddress(HMODULE module, LPCSTR name)
{
    if (!IS_INTRESOURCE(name) && lstrcmpA(name, "SetDefaultDllDirectories") == 0) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return RealGetProcAddress(module, name);
}

HMODULE WINAPI OldLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags)
{
    constexpr DWORD kSearchFlags = 0x1F00;  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR .. _DEFAULT_DIRS
    if (flags & kSearchFlags) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    lstrcpynW(LastLoadedName, name, MAX_PATH);
    return RealLoadLibraryExW(name, file, flags);
}

// Points this program's import of `name` at `replacement`; returns what it
// pointed at, or null when the program does not import it.
void* ReplaceImport(const char* name, void* replacement)
{
    auto base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto headers = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    auto imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name; ++dll) {
        auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
                lstrcmpA(reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name, name) != 0)
                continue;
            DWORD access;
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &access);
            void* previous = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, access, &access);
            return previous;
        }
    }
    return nullptr;
}

}  // namespace

// Today's Windows, and Vista and 7 with KB2533623.
TEST(DllSearch, RestrictedToSystem32)
{
    EnterFolderWithPlantedDll();
    RestrictDllSearchToSystem32();
    EXPECT_EQ(LoadLibraryW(L"vimra-beside.dll"), nullptr) << "loaded from the program's folder";
    EXPECT_EQ(LoadLibraryW(L"vimra-here.dll"), nullptr) << "loaded from the current directory";
    ExpectEchoFromSystem32();
    LeaveFolder();
}

// Vista and 7 without KB2533623: only the current directory leaves the
// search, and the ICMP library is named by its full System32 path.
TEST(DllSearch, WithoutTheSearchFlags)
{
    RealGetProcAddress = reinterpret_cast<decltype(RealGetProcAddress)>(
        ReplaceImport("GetProcAddress", reinterpret_cast<void*>(OldGetProcAddress)));
    RealLoadLibraryExW = reinterpret_cast<decltype(RealLoadLibraryExW)>(
        ReplaceImport("LoadLibraryExW", reinterpret_cast<void*>(OldLoadLibraryExW)));
    RealSetDllDirectoryW = reinterpret_cast<decltype(RealSetDllDirectoryW)>(
        ReplaceImport("SetDllDirectoryW", reinterpret_cast<void*>(OldSetDllDirectoryW)));
    ASSERT_NE(RealGetProcAddress, nullptr);
    ASSERT_NE(RealLoadLibraryExW, nullptr);
    ASSERT_NE(RealSetDllDirectoryW, nullptr);
    EnterFolderWithPlantedDll();
    RestrictDllSearchToSystem32();
    EXPECT_EQ(LoadLibraryW(L"vimra-here.dll"), nullptr) << "loaded from the current directory";
    ExpectEchoFromSystem32();
    wchar_t expected[MAX_PATH];
    System32Iphlpapi(expected);
    EXPECT_EQ(lstrcmpiW(LastLoadedName, expected), 0)
        << "iphlpapi.dll asked for as " << Shown(LastLoadedName);
    // What these systems cannot do: the program's own folder is still searched.
    EXPECT_NE(LoadLibraryW(L"vimra-beside.dll"), nullptr);
    LeaveFolder();
}
