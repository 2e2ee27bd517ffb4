// Times IsUrlAllowed against real filter lists: imports Adblock lists into a
// scratch storage.bin (real file, real named objects of its own), then judges
// every URL of a list once and prints the distribution.
//
//   UrlVerdictBench.exe --urls URLS LIST...

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "com/Error.h"
#include "engine/AdblockFormat.h"
#include "engine/FilterRule.h"
#include "verdict/UrlVerdict.h"
#include "storage/File.h"
#include "storage/FilterListStore.h"

namespace {

std::wstring Utf8ToWide(const std::string& text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

double Microseconds(LONGLONG ticks)
{
    static const double perTick = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return 1e6 / static_cast<double>(frequency.QuadPart);
    }();
    return static_cast<double>(ticks) * perTick;
}

LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

struct CTimings
{
    std::vector<double> us;
    std::size_t blocked = 0;
    std::size_t failed = 0;
};

CTimings Judge(CSharedStore& store, const std::vector<std::wstring>& urls)
{
    CTimings timings;
    timings.us.reserve(urls.size());
    for (const std::wstring& url : urls) {
        LONGLONG start = Now();
        try {
            if (!IsUrlAllowed(store, url.c_str()))
                ++timings.blocked;
        } catch (const CHResultException&) {
            ++timings.failed;
        }
        timings.us.push_back(Microseconds(Now() - start));
    }
    std::sort(timings.us.begin(), timings.us.end());
    return timings;
}

double Percentile(const std::vector<double>& sorted, double fraction)
{
    if (sorted.empty())
        return 0;
    return sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(sorted.size())))];
}

int Run(int argc, wchar_t** argv)
{
    std::wstring urlsPath;
    std::vector<std::wstring> lists;
    for (int i = 1; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--urls" && i + 1 < argc)
            urlsPath = argv[++i];
        else
            lists.push_back(argv[i]);
    }
    if (urlsPath.empty() || lists.empty()) {
        std::fprintf(stderr, "usage: UrlVerdictBench --urls URLS LIST...\n");
        return 2;
    }

    // Import the lists as the settings dialog would: Adblock text to internal
    // text to records.
    std::vector<CFilterRulePtr> records;
    std::size_t regexCount = 0;
    for (const std::wstring& list : lists) {
        CFile file(list.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        ReadAdblockList(file, [&](const std::wstring& text) {
            FilterRule* rule = nullptr;
            if (ParseFilter(text.c_str(), &rule)) {
                regexCount += rule->isRegex;
                records.emplace_back(rule);
            }
        });
    }
    std::vector<std::wstring> urls;
    {
        CFile file(urlsPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        for (std::string line; std::getline(file, line);) {
            if (!line.empty())
                urls.push_back(Utf8ToWide(line));
        }
    }

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring tag = L"QuellanBench." + std::to_wstring(GetCurrentProcessId());
    std::wstring path = std::wstring(temp) + tag + L".storage.bin";
    DWORD storeBytes = 0;
    {
        CSharedStore store(path.c_str(), GetSharedSecurityAttributes(), CREATE_ALWAYS,
                           MakeSharedObjectName((tag + L".FilterListReaderCount").c_str()),
                           MakeSharedObjectName((tag + L".FilterListWriteLock").c_str()));
        CTimings empty = Judge(store, urls);
        {
            std::vector<const FilterRule*> pointers;
            for (const auto& record : records)
                pointers.push_back(record.get());
            CStoreWriter writer(store);
            ReplaceAllRecords(writer, pointers.data(), pointers.data() + pointers.size());
            storeBytes = writer.GetViewSize();
        }
        CTimings full = Judge(store, urls);

        std::printf("records in the store   %zu (%zu regular expressions), %lu bytes\n", records.size(), regexCount,
                    static_cast<unsigned long>(storeBytes));
        std::printf("URLs                   %zu (%zu of them could not be judged)\n",
                    urls.size(), full.failed);
        std::printf("empty list, us/URL     median %.1f  p99 %.1f  (canonicalize, lock, map)\n",
                    Percentile(empty.us, 0.5), Percentile(empty.us, 0.99));
        std::printf("full list, us/URL      median %.1f  p99 %.1f  max %.1f\n", Percentile(full.us, 0.5),
                    Percentile(full.us, 0.99), full.us.empty() ? 0.0 : full.us.back());
        std::printf("blocked                %.1f %% (%zu of %zu)\n",
                    urls.empty() ? 0.0 : 100.0 * static_cast<double>(full.blocked) / static_cast<double>(urls.size()),
                    full.blocked, urls.size());
    }
    DeleteFileW(path.c_str());
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    try {
        return Run(argc, argv);
    } catch (const CHResultException& e) {
        std::fprintf(stderr, "failed: 0x%08lX\n", static_cast<unsigned long>(e.GetHResult()));
    } catch (...) {
        std::fprintf(stderr, "failed\n");
    }
    return 1;
}
