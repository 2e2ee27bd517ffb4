// What an update of the Adblock lists costs when their sources changed:
// EasyList and EasyPrivacy read from files (as from a file share), checked,
// stored and compiled into a new image, on a scratch store in the temp
// folder. Prints the median and worst of a few rounds and the process's peak
// memory. Usage: ListUpdateBench easylist.txt easyprivacy.txt

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "storage/AdblockListStore.h"
#include "storage/AdblockListUpdate.h"
#include "storage/NamedObjects.h"

namespace {

bool WriteWhole(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                    written == bytes.size();
    CloseHandle(file);
    return ok;
}

// The peak working set over the whole run.
double PeakMegabytes()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PeakWorkingSetSize) / (1 << 20);
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: ListUpdateBench easylist.txt easyprivacy.txt\n");
        return 2;
    }
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"quellan-list-update-bench-" +
                                std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
    std::vector<std::string> texts;
    std::vector<std::wstring> sources;
    for (int i = 1; i < 3; ++i) {
        texts.push_back(ReadFileText(argv[i]));
        sources.push_back(folder + L"source" + std::to_wstring(i) + L".txt");
        if (texts.back().empty() || !WriteWhole(sources.back(), texts.back())) {
            std::fprintf(stderr, "cannot read or copy %ls\n", argv[i]);
            return 1;
        }
    }
    CAdblockListStore store(folder, MakeSharedObjectName(L"ListUpdateBench"), GetSharedSecurityAttributes());
    for (const std::wstring& source : sources)
        AddAdblockListFromSource(store, source);
    const double before = PeakMegabytes();
    std::vector<double> times;
    for (int round = 1; round <= 5; ++round) {
        for (std::size_t i = 0; i < sources.size(); ++i)
            WriteWhole(sources[i], texts[i] + "! changed " + std::to_string(round) + "\n");
        const double start = NowMicroseconds();
        const std::vector<CListUpdateResult> results = UpdateAdblockLists(store, L"", false);
        times.push_back((NowMicroseconds() - start) / 1000);
        for (const CListUpdateResult& result : results) {
            if (result.outcome != CListUpdateResult::Updated) {
                std::fprintf(stderr, "%ls was not updated (0x%08lX)\n", result.name.c_str(),
                             static_cast<unsigned long>(result.result));
                return 1;
            }
        }
    }
    std::sort(times.begin(), times.end());
    std::printf("update of %zu changed lists (%zu + %zu bytes): median %.0f ms, worst %.0f ms of %zu rounds; "
                "peak working set %.0f MB (%.0f MB before the updates)\n",
                texts.size(), texts[0].size(), texts[1].size(), times[times.size() / 2], times.back(), times.size(),
                PeakMegabytes(), before);
    for (const CAdblockListEntry& entry : store.ReadCatalog().lists)
        store.Remove(entry.name);
    return 0;
}
