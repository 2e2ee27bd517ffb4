#include "tests/storage/KillPoints.h"

#include <cstring>
#include <stdexcept>

namespace {

struct CHookState
{
    bool installed = false;
    bool armed = false;
    bool tracing = false;
    CKillPoint point;
    std::size_t count = 0;
    std::vector<std::string> trace;
};
CHookState g_state;

[[noreturn]] void Die()
{
    TerminateProcess(GetCurrentProcess(), kKilledExitCode);
    for (;;)
        Sleep(INFINITE);
}

// Ends the process from outside, as a watcher outside Wine would: a shell
// started on it (Wine starts a Unix program given by its Z: path) sends a
// SIGKILL to every Unix process whose command line holds this one's unique
// object name (the test's names, "QuellanTest.<what>.<pid>.<n>"). The
// process cannot learn its Unix id itself: Wine's server, not the process,
// opens /proc/self.
[[noreturn]] void DieFromOutside()
{
    g_state.armed = false;
    const std::wstring line = GetCommandLineW();
    const std::size_t first = line.find(L"QuellanTest.");
    const std::size_t last = line.find_first_of(L"@\" \t", first);
    if (first != std::wstring::npos && last != std::wstring::npos) {
        std::wstring command = L"/bin/sh -c \"for p in /proc/[0-9]*; do n=${p#/proc/}; [ $n = $$ ] && continue; "
                               L"/bin/grep -qaF " +
                               line.substr(first, last - first) +
                               L" $p/cmdline 2>/dev/null && kill -9 $n; done\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                           &process)) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            Sleep(30000);
        }
    }
    TerminateProcess(GetCurrentProcess(), kNoOutsideKillExitCode);
    for (;;)
        Sleep(INFINITE);
}

// Counts one call and ends the process before or after it when it is the
// kill point (or fails it with `failure`). The real call runs unless the
// process ends before it.
template <class Call, class Result>
auto Observe(const char* name, Result failure, Call&& call) -> decltype(call())
{
    if (!g_state.armed)
        return call();
    const std::size_t index = g_state.count++;
    if (g_state.tracing) {
        g_state.trace.push_back(name);
        return call();
    }
    const bool here = index == g_state.point.call;
    if (here && g_state.point.mode == KillMode::Before)
        Die();
    if (here && g_state.point.mode == KillMode::Outside)
        DieFromOutside();
    if (here && g_state.point.mode == KillMode::Fail) {
        SetLastError(ERROR_DISK_FULL);
        return failure;
    }
    auto result = call();
    if (here && g_state.point.mode == KillMode::After)
        Die();
    return result;
}

decltype(&::CreateFileW) g_createFileW;
decltype(&::WriteFile) g_writeFile;
decltype(&::FlushFileBuffers) g_flushFileBuffers;
decltype(&::SetFilePointer) g_setFilePointer;
decltype(&::SetEndOfFile) g_setEndOfFile;
decltype(&::CreateFileMappingW) g_createFileMappingW;
decltype(&::MapViewOfFile) g_mapViewOfFile;
decltype(&::UnmapViewOfFile) g_unmapViewOfFile;
decltype(&::FlushViewOfFile) g_flushViewOfFile;
decltype(&::DeleteFileW) g_deleteFileW;
decltype(&::ReleaseMutex) g_releaseMutex;

HANDLE WINAPI HookCreateFileW(LPCWSTR a, DWORD b, DWORD c, LPSECURITY_ATTRIBUTES d, DWORD e, DWORD f, HANDLE g)
{
    return Observe("CreateFileW", INVALID_HANDLE_VALUE, [&] { return g_createFileW(a, b, c, d, e, f, g); });
}
BOOL WINAPI HookWriteFile(HANDLE a, LPCVOID b, DWORD c, LPDWORD d, LPOVERLAPPED e)
{
    if (g_state.armed && !g_state.tracing && g_state.count == g_state.point.call &&
        g_state.point.mode == KillMode::Half) {
        g_writeFile(a, b, c / 2, d, e);
        Die();
    }
    return Observe("WriteFile", FALSE, [&] { return g_writeFile(a, b, c, d, e); });
}
BOOL WINAPI HookFlushFileBuffers(HANDLE a)
{
    return Observe("FlushFileBuffers", FALSE, [&] { return g_flushFileBuffers(a); });
}
DWORD WINAPI HookSetFilePointer(HANDLE a, LONG b, PLONG c, DWORD d)
{
    return Observe("SetFilePointer", INVALID_SET_FILE_POINTER, [&] { return g_setFilePointer(a, b, c, d); });
}
BOOL WINAPI HookSetEndOfFile(HANDLE a)
{
    return Observe("SetEndOfFile", FALSE, [&] { return g_setEndOfFile(a); });
}
HANDLE WINAPI HookCreateFileMappingW(HANDLE a, LPSECURITY_ATTRIBUTES b, DWORD c, DWORD d, DWORD e, LPCWSTR f)
{
    return Observe("CreateFileMappingW", static_cast<HANDLE>(nullptr), [&] { return g_createFileMappingW(a, b, c, d, e, f); });
}
LPVOID WINAPI HookMapViewOfFile(HANDLE a, DWORD b, DWORD c, DWORD d, SIZE_T e)
{
    return Observe("MapViewOfFile", static_cast<LPVOID>(nullptr), [&] { return g_mapViewOfFile(a, b, c, d, e); });
}
BOOL WINAPI HookUnmapViewOfFile(LPCVOID a)
{
    return Observe("UnmapViewOfFile", FALSE, [&] { return g_unmapViewOfFile(a); });
}
BOOL WINAPI HookFlushViewOfFile(LPCVOID a, SIZE_T b)
{
    return Observe("FlushViewOfFile", FALSE, [&] { return g_flushViewOfFile(a, b); });
}
BOOL WINAPI HookDeleteFileW(LPCWSTR a)
{
    return Observe("DeleteFileW", FALSE, [&] { return g_deleteFileW(a); });
}
BOOL WINAPI HookReleaseMutex(HANDLE a)
{
    return Observe("ReleaseMutex", FALSE, [&] { return g_releaseMutex(a); });
}

// The import address table slot of kernel32's `function` in this executable.
void** FindImportSlot(const char* function)
{
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); import->Name;
         ++import) {
        if (_stricmp(reinterpret_cast<const char*>(base + import->Name), "kernel32.dll") != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
                return reinterpret_cast<void**>(&slots->u1.Function);
        }
    }
    throw std::runtime_error(std::string("this executable does not import ") + function);
}

void WriteSlot(void** slot, void* value)
{
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old))
        throw std::runtime_error("cannot patch the import table");
    *slot = value;
    VirtualProtect(slot, sizeof(void*), old, &old);
}

template <class Function>
void Swap(const char* name, Function& original, Function hook, bool install)
{
    void** slot = FindImportSlot(name);
    if (install) {
        original = reinterpret_cast<Function>(*slot);
        WriteSlot(slot, reinterpret_cast<void*>(hook));
    } else {
        WriteSlot(slot, reinterpret_cast<void*>(original));
    }
}

void SwapAll(bool install)
{
    Swap("CreateFileW", g_createFileW, &HookCreateFileW, install);
    Swap("WriteFile", g_writeFile, &HookWriteFile, install);
    Swap("FlushFileBuffers", g_flushFileBuffers, &HookFlushFileBuffers, install);
    Swap("SetFilePointer", g_setFilePointer, &HookSetFilePointer, install);
    Swap("SetEndOfFile", g_setEndOfFile, &HookSetEndOfFile, install);
    Swap("CreateFileMappingW", g_createFileMappingW, &HookCreateFileMappingW, install);
    Swap("MapViewOfFile", g_mapViewOfFile, &HookMapViewOfFile, install);
    Swap("UnmapViewOfFile", g_unmapViewOfFile, &HookUnmapViewOfFile, install);
    Swap("FlushViewOfFile", g_flushViewOfFile, &HookFlushViewOfFile, install);
    Swap("DeleteFileW", g_deleteFileW, &HookDeleteFileW, install);
    Swap("ReleaseMutex", g_releaseMutex, &HookReleaseMutex, install);
}

}  // namespace

CKillPointHooks::CKillPointHooks()
{
    if (g_state.installed)
        throw std::logic_error("kill point hooks are already installed");
    SwapAll(true);
    g_state = CHookState{};
    g_state.installed = true;
}

CKillPointHooks::~CKillPointHooks()
{
    g_state.armed = false;
    SwapAll(false);
    g_state.installed = false;
}

void CKillPointHooks::ArmTrace()
{
    g_state.count = 0;
    g_state.trace.clear();
    g_state.tracing = true;
    g_state.armed = true;
}

void CKillPointHooks::ArmKill(const CKillPoint& point)
{
    g_state.count = 0;
    g_state.point = point;
    g_state.tracing = false;
    g_state.armed = true;
}

void CKillPointHooks::Disarm()
{
    g_state.armed = false;
}

const std::vector<std::string>& CKillPointHooks::Trace() const
{
    return g_state.trace;
}

std::vector<CKillPoint> KillPointsOf(const std::vector<std::string>& trace)
{
    std::vector<CKillPoint> points;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        points.push_back({i, KillMode::Before});
        if (trace[i] == "WriteFile")
            points.push_back({i, KillMode::Half});
    }
    if (!trace.empty())
        points.push_back({trace.size() - 1, KillMode::After});
    return points;
}

std::string Describe(const CKillPoint& point, const std::vector<std::string>& trace)
{
    static const char* const kModes[] = {"before", "after", "half way through", "failing", "killed from outside before"};
    return std::string(kModes[static_cast<int>(point.mode)]) + " call " + std::to_string(point.call) + " (" +
           (point.call < trace.size() ? trace[point.call] : std::string("?")) + ")";
}

std::vector<std::wstring> KillPointArgs(const CKillPoint& point)
{
    return {std::to_wstring(point.call), std::to_wstring(static_cast<int>(point.mode))};
}

CKillPoint KillPointFromArgs(const std::vector<std::wstring>& args, std::size_t first)
{
    return {static_cast<std::size_t>(std::stoul(args.at(first))), static_cast<KillMode>(std::stoi(args.at(first + 1)))};
}
