// What a change of the filter list costs, undo file and flushes to disk
// included: one appended filter (the Add Filter dialog), and a whole-list
// rewrite of 60,000 filters (the settings dialog's Apply). Works on a scratch
// store in the temp folder; prints median and worst milliseconds.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "storage/FilterListStore.h"
#include "storage/NamedObjects.h"

namespace {

CFilterRulePtr MakeRecord(const std::wstring& body)
{
    auto* rule = static_cast<FilterRule*>(std::malloc(FilterRecordSize(body.size())));
    rule->isRegex = 0;
    rule->isException = 0;
    rule->length = static_cast<WORD>(body.size());
    std::memcpy(rule->body, body.c_str(), (body.size() + 1) * sizeof(WCHAR));
    return CFilterRulePtr(rule);
}

double Now()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void Report(const char* what, std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    std::printf("%-40s median %8.2f ms   worst %8.2f ms   (%zu runs)\n", what, times[times.size() / 2], times.back(),
                times.size());
}

}  // namespace

int wmain()
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"quellan-store-write-bench.bin";
    DeleteFileW(path.c_str());
    const std::wstring unique = std::to_wstring(GetCurrentProcessId());
    {
        CSharedStore store(path.c_str(), GetSharedSecurityAttributes(), CREATE_ALWAYS,
                           MakeSharedObjectName((L"StoreWriteBenchReaders." + unique).c_str()),
                           MakeSharedObjectName((L"StoreWriteBenchWriter." + unique).c_str()));

        std::vector<CFilterRulePtr> list;
        std::vector<const FilterRule*> pointers;
        for (int n = 0; n < 60000; ++n) {
            list.push_back(MakeRecord(L"||ads" + std::to_wstring(n) + L".example.com^*"));
            pointers.push_back(list.back().get());
        }

        std::vector<double> rewrites;
        for (int run = 0; run < 10; ++run) {
            const double start = Now();
            CStoreWriter writer(store);
            ReplaceAllRecords(writer, pointers.data(), pointers.data() + pointers.size());
            rewrites.push_back(Now() - start);
        }
        std::printf("list of %zu filters, %lu bytes\n", list.size(), store.GetSize());
        Report("rewrite of the whole list", rewrites);

        std::vector<double> appends;
        const CFilterRulePtr added = MakeRecord(L"*added-filter*");
        for (int run = 0; run < 50; ++run) {
            const double start = Now();
            CStoreWriter writer(store);
            AppendRecord(writer, *added);
            appends.push_back(Now() - start);
        }
        Report("append of one filter to that list", appends);
    }
    DeleteFileW(path.c_str());
    return 0;
}
