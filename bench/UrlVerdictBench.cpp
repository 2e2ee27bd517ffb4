// Times IsUrlAllowed against real filter lists: imports Adblock lists into a
// scratch filter list store (real files, the index beside them, named
// objects of its own), then judges every URL of a list once and prints the
// distribution, the split of the time, what writers pay for the index, the
// first verdict of a fresh process, the verdicts compared with the list walk,
// the canonicalization compared with the platform's, hostile regular
// expressions, and the peers' figures handed in.
//
//   UrlVerdictBench.exe --urls URLS [--peer "NAME MEDIAN P99"]... LIST...
//   UrlVerdictBench.exe --verdicts-only --urls URLS LIST...   (prints "MEDIAN P99"
//                       of the timed pass alone: bench/run.sh's alternating rounds)
//   UrlVerdictBench.exe --first STORE READERCOUNT WRITELOCK URL   (a fresh process)
//   UrlVerdictBench.exe --hostile URLS   (the hostile regular expressions alone)

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <functional>
#include <cstdio>
#include <cwchar>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "com/Error.h"
#include "engine/AdblockFormat.h"
#include "engine/FilterIndex.h"
#include "engine/FilterRule.h"
#include "engine/RegexSearch.h"
#include "storage/File.h"
#include "storage/FilterIndexStore.h"
#include "storage/FilterListStore.h"
#include "storage/NamedObjects.h"
#include "verdict/UrlVerdict.h"

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

struct CDistribution
{
    std::vector<double> us;

    void Add(double value) { us.push_back(value); }
    double At(double fraction)
    {
        if (us.empty())
            return 0;
        std::sort(us.begin(), us.end());
        return us[std::min(us.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(us.size())))];
    }
    double Max() { return At(1.0); }
};

// The calling thread's processor time (user and kernel) in microseconds:
// what a change costs apart from waiting for the disk.
double ThreadCpuUs()
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user))
        return 0;
    const auto value = [](const FILETIME& t) {
        return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10.0;
    };
    return value(kernel) + value(user);
}

void PrintDistribution(const char* name, CDistribution& d)
{
    std::printf("  %-22s median %7.2f   p99 %8.2f   max %9.1f\n", name, d.At(0.5), d.At(0.99), d.Max());
}

struct CScratch
{
    std::wstring path, readerCount, writeLock;
};

CScratch MakeScratch(const wchar_t* name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring tag = L"QuellanBench." + std::to_wstring(GetCurrentProcessId()) + L"." + name;
    const std::wstring folder = std::wstring(temp) + tag;
    CreateDirectoryW(folder.c_str(), nullptr);
    return CScratch{folder + L"\\storage.bin", MakeSharedObjectName((tag + L".FilterListReaderCount").c_str()),
                    MakeSharedObjectName((tag + L".FilterListWriteLock").c_str())};
}

void RemoveScratch(const CScratch& scratch)
{
    const std::wstring folder = scratch.path.substr(0, scratch.path.find_last_of(L'\\'));
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            DeleteFileW((folder + L"\\" + found.cFileName).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

std::unique_ptr<CSharedStore> OpenScratch(const CScratch& scratch)
{
    return OpenFilterListStore(scratch.path.c_str(), GetSharedSecurityAttributes(), OPEN_ALWAYS, scratch.readerCount,
                               scratch.writeLock);
}

double Replace(CSharedStore& store, const std::vector<const FilterRule*>& records)
{
    const LONGLONG start = Now();
    CStoreWriter writer(store);
    ReplaceAllRecords(writer, records.data(), records.data() + records.size());
    return Microseconds(Now() - start);
}

// The record of a filter the benchmark itself writes (always valid).
constexpr wchar_t kAppended[] = L"*/quellan-bench-appended/*";

CFilterRulePtr Record(const std::wstring& text)
{
    FilterRule* rule = nullptr;
    ParseFilter(text.c_str(), &rule);
    return CFilterRulePtr(rule);
}

// Appends `record` to the store in a change of its own.
void Append(CSharedStore& store, const FilterRule& record)
{
    CStoreWriter writer(store);
    AppendRecord(writer, record);
}

// Judges every URL once, everything included, and times each; `verdicts`
// gets 1 allowed, 0 blocked, -1 not judged.
CDistribution JudgeEach(CSharedStore& store, const std::vector<std::wstring>& urls, std::vector<signed char>* verdicts)
{
    CDistribution times;
    verdicts->assign(urls.size(), -1);
    for (std::size_t i = 0; i < urls.size(); ++i) {
        const LONGLONG start = Now();
        try {
            const bool allowed = IsUrlAllowed(store, urls[i].c_str());
            times.Add(Microseconds(Now() - start));
            (*verdicts)[i] = allowed ? 1 : 0;
        } catch (const CHResultException&) {
        }
    }
    return times;
}

// Runs this executable with `args` and returns what it printed.
std::string RunSelf(const std::wstring& args)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring commandLine = L"\"" + std::wstring(self) + L"\" " + args;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0))
        return std::string();
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL started =
        CreateProcessW(self, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(write);
    std::string out;
    if (started) {
        char block[4096];
        DWORD got = 0;
        while (ReadFile(read, block, sizeof block, &got, nullptr) && got)
            out.append(block, got);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(read);
    return out;
}

// A fresh process: the store opened and the first verdict, each timed.
int FirstVerdict(int argc, wchar_t** argv)
{
    if (argc < 6)
        return 2;
    const LONGLONG start = Now();
    auto store = OpenFilterListStore(argv[2], GetSharedSecurityAttributes(), OPEN_EXISTING, argv[3], argv[4]);
    const LONGLONG opened = Now();
    const bool allowed = IsUrlAllowed(*store, argv[5]);
    const LONGLONG judged = Now();
    CFilterIndexStore::CUse use(*CFilterIndexStore::Of(*store));
    std::printf("%.1f %.1f %d %d\n", Microseconds(opened - start), Microseconds(judged - opened), allowed ? 1 : 0,
                use.Get() ? 1 : 0);
    return 0;
}

struct CPeer
{
    std::string name;
    double median = 0;
    double p99 = 0;
};

// Ten regular expressions of 60,000 units each made by `make`, alone in a
// list: what a URL cost when every check compiled them, and what it costs
// now that each is compiled once.
void HostileRegularExpressions(const char* what, const std::function<std::wstring(std::mt19937&)>& make,
                               const std::vector<std::wstring>& urls)
{
    std::mt19937 random(1);
    std::vector<CFilterRulePtr> owned;
    for (int i = 0; i < 10; ++i)
        owned.push_back(Record(L"/" + make(random) + L"/"));
    std::vector<const FilterRule*> records;
    for (const auto& rule : owned)
        records.push_back(rule.get());

    const CScratch scratch = MakeScratch(L"regex");
    {
        auto store = OpenScratch(scratch);
        Replace(*store, records);
        std::printf("  %s\n", what);
        // As every check compiled them before.
        const std::size_t perCallUrls = 2;
        LONGLONG start = Now();
        for (std::size_t i = 0; i < perCallUrls; ++i) {
            for (const FilterRule* rule : records)
                CCompiledRegex(std::wstring_view(rule->body, rule->length)).Search(urls[i]);
        }
        std::printf("    compiled at every check:  %9.1f ms per URL\n",
                    Microseconds(Now() - start) / 1000.0 / static_cast<double>(perCallUrls));
        start = Now();
        IsUrlAllowed(*store, urls[0].c_str());
        std::printf("    first verdict:            %9.1f ms (compiles what it needs)\n",
                    Microseconds(Now() - start) / 1000.0);
        CDistribution after;
        const std::size_t count = std::min<std::size_t>(urls.size(), 500);
        for (std::size_t i = 0; i < count; ++i) {
            start = Now();
            IsUrlAllowed(*store, urls[i].c_str());
            after.Add(Microseconds(Now() - start));
        }
        std::printf("    then, over %zu URLs:       median %.1f us, p99 %.1f us, max %.1f us per URL\n", count,
                    after.At(0.5), after.At(0.99), after.Max());
    }
    RemoveScratch(scratch);
}

std::vector<std::wstring> ReadUrls(const std::wstring& path)
{
    std::vector<std::wstring> urls;
    CFile file(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    for (std::string line; std::getline(file, line);) {
        if (!line.empty())
            urls.push_back(Utf8ToWide(line));
    }
    return urls;
}

void HostileSection(const std::vector<std::wstring>& urls)
{
    std::printf("Hostile regular expressions, ten of 60,000 units each in a list of their own\n");
    HostileRegularExpressions(
        "long literal runs (filed under a piece they require; longer than any URL)",
        [](std::mt19937& random) {
            std::wstring body;
            while (body.size() < 60000)
                body += static_cast<wchar_t>(L'a' + random() % 26);
            return body;
        },
        urls);
    HostileRegularExpressions(
        "classes only (no literal: checked for every URL; longer than any URL)",
        [](std::mt19937& random) {
            std::wstring body;
            while (body.size() + 8 <= 60000)
                body += (random() % 2) ? L"[a-z0-9]" : L"[^/?&=]";
            return body;
        },
        urls);
    HostileRegularExpressions(
        "optional classes only (no literal, no length: searched for every URL)",
        [](std::mt19937& random) {
            std::wstring body;
            while (body.size() + 9 <= 60000)
                body += (random() % 2) ? L"[a-z0-9]*" : L"[^/?&=]*";
            return body;
        },
        urls);
}

// A user who never stored a filter: the list file exists, empty, and no
// index was ever published. Judged at the index's speed, without the lock.
void EmptyListSection(const std::vector<std::wstring>& urls)
{
    const CScratch scratch = MakeScratch(L"empty");
    {
        auto store = OpenScratch(scratch);
        CDistribution total;
        const LONGLONG first = Now();
        for (const std::wstring& url : urls) {
            const LONGLONG start = Now();
            try {
                IsUrlAllowed(*store, url.c_str());
            } catch (const CHResultException&) {
                continue;
            }
            total.Add(Microseconds(Now() - start));
        }
        std::printf("Never-stored list: %zu URLs in %.1f ms\n", urls.size(), Microseconds(Now() - first) / 1000.0);
        PrintDistribution("IsUrlAllowed", total);
    }
    RemoveScratch(scratch);
}

int Run(int argc, wchar_t** argv)
{
    if (argc == 3 && std::wstring(argv[1]) == L"--empty") {
        EmptyListSection(ReadUrls(argv[2]));
        return 0;
    }
    if (argc > 1 && std::wstring(argv[1]) == L"--first")
        return FirstVerdict(argc, argv);
    if (argc == 3 && std::wstring(argv[1]) == L"--hostile") {
        HostileSection(ReadUrls(argv[2]));
        return 0;
    }
    std::wstring urlsPath;
    std::vector<std::wstring> lists;
    std::vector<CPeer> peers;
    bool verdictsOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--urls" && i + 1 < argc) {
            urlsPath = argv[++i];
        } else if (arg == L"--verdicts-only") {
            verdictsOnly = true;
        } else if (arg == L"--peer" && i + 1 < argc) {
            std::istringstream line(std::string(argv[i + 1], argv[i + 1] + std::wcslen(argv[i + 1])));
            CPeer peer;
            if (line >> peer.name >> peer.median >> peer.p99)
                peers.push_back(peer);
            ++i;
        } else {
            lists.push_back(arg);
        }
    }
    if (urlsPath.empty() || lists.empty()) {
        std::fprintf(stderr, "usage: UrlVerdictBench --urls URLS [--peer \"NAME MEDIAN P99\"]... LIST...\n");
        return 2;
    }

    // Import the lists as the settings dialog would: Adblock text to internal
    // text to records.
    std::vector<CFilterRulePtr> owned;
    std::size_t regexCount = 0;
    for (const std::wstring& list : lists) {
        CFile file(list.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        ReadAdblockList(file, [&](const std::wstring& text) {
            FilterRule* rule = nullptr;
            if (ParseFilter(text.c_str(), &rule)) {
                regexCount += rule->isRegex;
                owned.emplace_back(rule);
            }
        });
    }
    std::vector<const FilterRule*> records;
    for (const auto& record : owned)
        records.push_back(record.get());
    const std::vector<std::wstring> urls = ReadUrls(urlsPath);

    if (verdictsOnly) {
        // The store as the full run times it: the lists and one appended record.
        const CScratch scratch = MakeScratch(L"rounds");
        {
            auto store = OpenScratch(scratch);
            Replace(*store, records);
            Append(*store, *Record(kAppended));
            std::vector<signed char> verdicts;
            CDistribution total = JudgeEach(*store, urls, &verdicts);
            std::printf("%.2f %.2f\n", total.At(0.5), total.At(0.99));
        }
        RemoveScratch(scratch);
        return 0;
    }

    const CScratch scratch = MakeScratch(L"lists");
    {
        auto store = OpenScratch(scratch);
        CFilterIndexStore& index = *CFilterIndexStore::Of(*store);

        // What writers pay.
        std::vector<BYTE> list;
        for (const FilterRule* record : records)
            list.insert(list.end(), reinterpret_cast<const BYTE*>(record),
                        reinterpret_cast<const BYTE*>(record) + FilterRecordSize(*record));
        std::vector<const FilterRule*> inList;
        for (std::size_t at = 0; at < list.size(); at += FilterRecordSize(*reinterpret_cast<const FilterRule*>(&list[at])))
            inList.push_back(reinterpret_cast<const FilterRule*>(&list[at]));
        LONGLONG start = Now();
        const std::vector<BYTE> image = BuildFilterIndex(list.data(), static_cast<DWORD>(list.size()), inList, 1);
        const double buildUs = Microseconds(Now() - start);
        double writeWithIndex = Replace(*store, records);
        writeWithIndex = std::min(writeWithIndex, Replace(*store, records));
        double writePlain = 0;
        // What an append costs a store without an index (the undo file and
        // the flushes to disk): the floor for an append with one.
        CDistribution appendsPlain;
        const CFilterRulePtr appended = Record(kAppended);
        {
            const CScratch plainScratch = MakeScratch(L"plain");
            {
                CSharedStore plain(plainScratch.path.c_str(), GetSharedSecurityAttributes(), OPEN_ALWAYS,
                                   plainScratch.readerCount, plainScratch.writeLock);
                writePlain = Replace(plain, records);
                writePlain = std::min(writePlain, Replace(plain, records));
                for (int run = 0; run < 20; ++run) {
                    start = Now();
                    CStoreWriter writer(plain);
                    AppendRecord(writer, *appended);
                    appendsPlain.Add(Microseconds(Now() - start));
                }
            }
            RemoveScratch(plainScratch);
        }
        start = Now();
        Append(*store, *appended);
        const double appendUs = Microseconds(Now() - start);
        const DWORD storeBytes = static_cast<DWORD>(list.size() + FilterRecordSize(*appended));

        std::printf("records in the store   %zu (%zu regular expressions), %lu bytes\n", records.size() + 1, regexCount,
                    static_cast<unsigned long>(storeBytes));
        std::printf("index                  %zu bytes (%.2f x the list); built in %.1f ms\n", image.size(),
                    static_cast<double>(image.size()) / static_cast<double>(list.size()), buildUs / 1000.0);
        std::printf("writer, whole list     %.1f ms with the index (%.1f ms without)\n", writeWithIndex / 1000.0,
                    writePlain / 1000.0);
        std::printf("writer, one appended   %.1f ms (a tail beside the published index); without an index: median "
                    "%.1f ms over %zu appends\n",
                    appendUs / 1000.0, appendsPlain.At(0.5) / 1000.0, appendsPlain.us.size());

        // Every URL once, everything included.
        std::vector<signed char> verdicts;
        CDistribution total = JudgeEach(*store, urls, &verdicts);
        std::size_t blocked = 0, failed = 0;
        for (const signed char verdict : verdicts) {
            blocked += verdict == 0;
            failed += verdict < 0;
        }
        // The same three steps timed apart, on a second pass.
        CDistribution canonicalizing, detecting, looking;
        for (const std::wstring& url : urls) {
            wchar_t canonical[kCanonicalUrlCapacity];
            start = Now();
            try {
                CanonicalizeUrl(url.c_str(), canonical);
            } catch (const CHResultException&) {
                continue;
            }
            const LONGLONG canonicalized = Now();
            CFilterIndexStore::CUse use(index);
            const LONGLONG detected = Now();
            if (use.Get())
                use.Get()->IsAllowed(canonical);
            const LONGLONG looked = Now();
            canonicalizing.Add(Microseconds(canonicalized - start));
            detecting.Add(Microseconds(detected - canonicalized));
            looking.Add(Microseconds(looked - detected));
        }
        // The canonicalization against the platform's own on every URL: a
        // URL copied as canonical must be what the platform would return.
        CDistribution platformOnly;
        std::size_t asWritten = 0, canonicalDifferences = 0;
        for (const std::wstring& url : urls) {
            wchar_t ours[kCanonicalUrlCapacity], theirs[kCanonicalUrlCapacity];
            asWritten += CanonicalizeSimpleUrl(url.c_str(), ours) != 0;
            bool oursFailed = false;
            try {
                CanonicalizeUrl(url.c_str(), ours);
            } catch (const CHResultException&) {
                oursFailed = true;
            }
            std::wstring requested, escaped;
            DWORD length = kCanonicalUrlCapacity;
            start = Now();
            const bool theirsFailed = !InternetCanonicalizeUrlW(
                KeepEncodedZerosVisible(AsRequested(url.c_str(), requested), escaped), theirs, &length, ICU_DECODE);
            platformOnly.Add(Microseconds(Now() - start));
            canonicalDifferences += oursFailed != theirsFailed || (!oursFailed && std::wcscmp(ours, theirs) != 0);
        }
        bool usedIndex = false;
        {
            CFilterIndexStore::CUse use(index);
            usedIndex = use.Get() != nullptr;
        }

        // The list walk, the reference every verdict must equal.
        CDistribution walk;
        std::size_t differences = 0, compared = 0;
        for (std::size_t i = 0; i < urls.size(); ++i) {
            if (verdicts[i] < 0)
                continue;
            std::vector<std::wstring> deciding;  // asking for the deciding filters walks the list
            start = Now();
            const bool allowed = IsUrlAllowed(*store, urls[i].c_str(), &deciding);
            walk.Add(Microseconds(Now() - start));
            differences += allowed != (verdicts[i] == 1);
            ++compared;
        }

        std::printf("URLs                   %zu (%zu of them could not be judged)\n", urls.size(), failed);
        std::printf("blocked                %.1f %% (%zu of %zu)\n",
                    urls.empty() ? 0.0 : 100.0 * static_cast<double>(blocked) / static_cast<double>(urls.size()),
                    blocked, urls.size());
        std::printf("microseconds per URL%s\n", usedIndex ? "" : "   (THE INDEX WAS NOT USED)");
        PrintDistribution("IsUrlAllowed", total);
        PrintDistribution("  canonicalization", canonicalizing);
        PrintDistribution("  change detection", detecting);
        PrintDistribution("  lookup", looking);
        PrintDistribution("list walk (reference)", walk);
        std::printf("differences from the walk: %zu of %zu URLs\n", differences, compared);
        std::printf("simple URLs            %.1f %% of URLs, canonicalized without the platform call\n",
                    urls.empty() ? 0.0 : 100.0 * static_cast<double>(asWritten) / static_cast<double>(urls.size()));
        PrintDistribution("  platform call alone", platformOnly);
        std::printf("canonicalization differences from InternetCanonicalizeUrlW: %zu of %zu URLs\n",
                    canonicalDifferences, urls.size());

        // The first verdict in a fresh process, five times.
        CDistribution opening, first;
        int firstUsedIndex = 0;
        for (int run = 0; run < 5; ++run) {
            const std::string out = RunSelf(L"--first \"" + scratch.path + L"\" \"" + scratch.readerCount + L"\" \"" +
                                            scratch.writeLock + L"\" \"" + urls[run % urls.size()] + L"\"");
            double openUs = 0, firstUs = 0;
            int allowed = 0, indexed = 0;
            if (std::sscanf(out.c_str(), "%lf %lf %d %d", &openUs, &firstUs, &allowed, &indexed) == 4) {
                opening.Add(openUs);
                first.Add(firstUs);
                firstUsedIndex += indexed;
            }
        }
        std::printf("first verdict in a fresh process: median %.1f us over %zu runs (index used in %d); opening "
                    "the store before it %.1f us\n",
                    first.At(0.5), first.us.size(), firstUsedIndex, opening.At(0.5));

        if (!peers.empty()) {
            std::printf("peers, the same URLs and lists (each URL once; their own URL parsing included)\n");
            const CPeer* fastest = nullptr;
            for (const CPeer& peer : peers) {
                std::printf("  %-22s median %7.2f   p99 %8.2f   ours/theirs (medians) %.2f\n", peer.name.c_str(),
                            peer.median, peer.p99, peer.median > 0 ? total.At(0.5) / peer.median : 0.0);
                if (!fastest || peer.median < fastest->median)
                    fastest = &peer;
            }
            std::printf("  ratio to the fastest peer's median: %.2f\n", total.At(0.5) / fastest->median);
        }

        // Appends up to the tail's bound, what verdicts cost with the longest
        // tail and whether they still equal the walk, then the append that
        // passes the bound and builds the whole index again.
        CDistribution appends, appendsCpu;
        std::vector<CFilterRulePtr> added;
        for (DWORD n = 1; n < CFilterIndexStore::kMaxTailRecords; ++n) {
            added.push_back(Record((n % 8 == 0 ? L"%" : L"") + std::wstring(L"*/quellan-appended-") +
                                   std::to_wstring(n) + L"/*"));
            const double cpuBefore = ThreadCpuUs();
            start = Now();
            Append(*store, *added.back());
            appends.Add(Microseconds(Now() - start));
            appendsCpu.Add(ThreadCpuUs() - cpuBefore);
        }
        CDistribution withTail;
        std::size_t tailDifferences = 0, tailCompared = 0;
        for (std::size_t i = 0; i < urls.size(); ++i) {
            start = Now();
            bool allowed = false;
            try {
                allowed = IsUrlAllowed(*store, urls[i].c_str());
            } catch (const CHResultException&) {
                continue;
            }
            withTail.Add(Microseconds(Now() - start));
            if (i % 8 == 0) {
                std::vector<std::wstring> deciding;
                tailDifferences += allowed != IsUrlAllowed(*store, urls[i].c_str(), &deciding);
                ++tailCompared;
            }
        }
        added.push_back(Record(L"*/quellan-appended-past-the-bound/*"));
        start = Now();
        Append(*store, *added.back());
        const double rebuildUs = Microseconds(Now() - start);
        std::printf("writer, appends 2 to %lu: median %.2f ms (%.2f ms of processor time), worst %.2f ms; the next "
                    "one, past the bound, %.1f ms (the whole index rebuilt)\n",
                    static_cast<unsigned long>(CFilterIndexStore::kMaxTailRecords), appends.At(0.5) / 1000.0,
                    appendsCpu.At(0.5) / 1000.0, appends.At(1.0) / 1000.0, rebuildUs / 1000.0);
        PrintDistribution("IsUrlAllowed, 256 appended", withTail);
        std::printf("  differences from the walk: %zu of %zu URLs\n", tailDifferences, tailCompared);
    }
    RemoveScratch(scratch);

    HostileSection(urls);
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
