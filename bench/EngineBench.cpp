// Filter engine benchmark: imports real Adblock lists through the import
// core, then measures the wildcard matcher, the regular-expression search and
// a whole-list walk against real URLs.
//
//   QuellanBench.exe [--urls N] LIST... URLS
//
// LIST: Adblock filter lists; URLS: a text file with one URL per line.

#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/AdblockFormat.h"
#include "engine/FilterRule.h"
#include "engine/RegexSearch.h"

namespace {

using CClock = std::chrono::steady_clock;

double SecondsSince(CClock::time_point start)
{
    return std::chrono::duration<double>(CClock::now() - start).count();
}

struct CMemory
{
    double workingSetMB = 0;
    double peakWorkingSetMB = 0;
    double privateMB = 0;
};

CMemory ProcessMemory()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    CMemory memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters)) {
        memory.workingSetMB = counters.WorkingSetSize / 1048576.0;
        memory.peakWorkingSetMB = counters.PeakWorkingSetSize / 1048576.0;
        // Wine leaves PrivateUsage at 0; PagefileUsage is the same figure
        // on Windows.
        memory.privateMB = (counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage) / 1048576.0;
    }
    return memory;
}

std::string ReadFile(const char* path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());  // URLs in the site list are ASCII
}

// Regular-expression bodies of a list, options or not: the import skips
// lines with options, which would leave almost none of EasyList's.
std::vector<std::wstring> RegexBodies(const std::string& list)
{
    static const std::regex line("^(?:@@)?/(.+)/(?:\\$[^/]*)?\r?$");
    std::vector<std::wstring> bodies;
    std::istringstream in(list);
    std::string text;
    std::smatch match;
    while (std::getline(in, text)) {
        if (std::regex_match(text, match, line))
            bodies.push_back(Widen(match[1].str()));
    }
    return bodies;
}

struct CRecords
{
    std::vector<CFilterRulePtr> wildcards;
    std::vector<CFilterRulePtr> regexes;
    std::vector<const FilterRule*> all;
    std::size_t storeBytes = 0;
};

void ReportRegex(const char* name, const std::vector<std::wstring>& bodies, const std::vector<std::wstring>& urls,
                 CRegexMatcher matcher)
{
    std::size_t searches = 0, matches = 0, automaton = 0, worker = 0, tooComplex = 0;
    double slowest = 0;
    const auto start = CClock::now();
    for (const std::wstring& body : bodies) {
        for (const std::wstring& url : urls) {
            const auto one = CClock::now();
            CRegexSearchReport report;
            matches += SearchRegex(body, url, &report, matcher);
            const double seconds = SecondsSince(one);
            slowest = seconds > slowest ? seconds : slowest;
            automaton += report.automaton;
            worker += report.worker;
            tooComplex += report.tooComplex;
            ++searches;
        }
    }
    const double seconds = SecondsSince(start);
    std::printf("  %-13s %8.2f us per compile+search, slowest %7.2f ms; %zu matches, %zu by the automaton, "
                "%zu on a worker, %zu too complex\n",
                name, seconds / searches * 1e6, slowest * 1e3, matches, automaton, worker, tooComplex);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::size_t urlCount = 1000;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--urls" && i + 1 < argc)
            urlCount = static_cast<std::size_t>(_wtoi(argv[++i]));
        else
            paths.emplace_back(arg.begin(), arg.end());
    }
    if (paths.size() < 2) {
        std::fprintf(stderr, "usage: QuellanBench [--urls N] LIST... URLS\n");
        return 2;
    }
    const std::string urlPath = paths.back();
    paths.pop_back();

    std::printf("Import (through ReadAdblockList, then ParseFilter into store records)\n");
    CRecords records;
    std::vector<std::wstring> allRegexBodies;
    for (const std::string& path : paths) {
        const std::string list = ReadFile(path.c_str());
        const std::vector<std::wstring> bodies = RegexBodies(list);
        allRegexBodies.insert(allRegexBodies.end(), bodies.begin(), bodies.end());
        const CMemory before = ProcessMemory();
        const auto start = CClock::now();
        std::istringstream in(list);
        std::vector<std::wstring> texts;
        CAdblockImportResult result;
        try {
            result = ReadAdblockList(in, [&](const std::wstring& text) { texts.push_back(text); });
        } catch (int code) {
            std::printf("  %s: refused (%d)\n", path.c_str(), code);
            continue;
        }
        const double importSeconds = SecondsSince(start);
        const auto parseStart = CClock::now();
        std::size_t bytes = 0;
        for (const std::wstring& text : texts) {
            FilterRule* rule = nullptr;
            if (!ParseFilter(text.c_str(), &rule))
                continue;
            bytes += FilterRecordSize(*rule);
            records.all.push_back(rule);
            (rule->isRegex ? records.regexes : records.wildcards).emplace_back(rule);
        }
        const double parseSeconds = SecondsSince(parseStart);
        records.storeBytes += bytes;
        const CMemory after = ProcessMemory();
        std::printf("  %s: %zu bytes, %zu filters added, %zu comments/empty, %zu skipped (options or too long)\n",
                    path.c_str(), list.size(), result.added, result.ignored, result.skipped);
        std::printf("    import %.1f ms, records %.1f ms, %zu record bytes; working set %.1f -> %.1f MB "
                    "(peak %.1f), private %.1f -> %.1f MB\n",
                    importSeconds * 1e3, parseSeconds * 1e3, bytes, before.workingSetMB, after.workingSetMB,
                    after.peakWorkingSetMB, before.privateMB, after.privateMB);
    }
    std::printf("  total: %zu records (%zu wildcard, %zu regular expression), %zu bytes as storage.bin\n",
                records.all.size(), records.wildcards.size(), records.regexes.size(), records.storeBytes);

    std::vector<std::wstring> urls;
    {
        std::istringstream in(ReadFile(urlPath.c_str()));
        std::string line;
        while (urls.size() < urlCount && std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (!line.empty())
                urls.push_back(Widen(line));
        }
    }
    std::size_t totalLength = 0;
    for (const std::wstring& url : urls)
        totalLength += url.size();
    std::printf("URLs: %zu from %s, %.0f characters on average\n", urls.size(), urlPath.c_str(),
                urls.empty() ? 0.0 : static_cast<double>(totalLength) / urls.size());
    if (urls.empty())
        return 0;

    {
        std::size_t calls = 0, matches = 0;
        const auto start = CClock::now();
        for (const std::wstring& url : urls) {
            for (const CFilterRulePtr& rule : records.wildcards) {
                matches += MatchWildcard(rule->body, url.c_str());
                ++calls;
            }
        }
        const double seconds = SecondsSince(start);
        std::printf("Wildcard matching: %zu calls in %.2f s = %.1f million matches/s (%.1f ns each), %zu hits\n",
                    calls, seconds, calls / seconds / 1e6, seconds / calls * 1e9, matches);
    }

    {
        // What IsUrlAllowed does per URL: every record in order, stopping at
        // the first matching exception.
        std::size_t blocked = 0;
        const auto start = CClock::now();
        for (const std::wstring& url : urls) {
            bool block = false, allow = false;
            for (const FilterRule* rule : records.all) {
                if (!MatchFilter(*rule, url.c_str()))
                    continue;
                if (rule->isException) {
                    allow = true;
                    break;
                }
                block = true;
            }
            blocked += block && !allow;
        }
        const double seconds = SecondsSince(start);
        std::printf("List walk over all %zu records: %.2f ms per URL, %zu of %zu URLs blocked\n", records.all.size(),
                    seconds / urls.size() * 1e3, blocked, urls.size());
    }

    const std::size_t regexUrls = urls.size() < 300 ? urls.size() : 300;
    const std::vector<std::wstring> sample(urls.begin(), urls.begin() + static_cast<std::ptrdiff_t>(regexUrls));
    std::printf("Regular expressions: %zu bodies from the lists (options ignored) x %zu URLs, compiled per call\n",
                allRegexBodies.size(), sample.size());
    ReportRegex("auto", allRegexBodies, sample, CRegexMatcher::Auto);
    ReportRegex("backtracking", allRegexBodies, sample, CRegexMatcher::Backtracking);
    ReportRegex("automaton", allRegexBodies, sample, CRegexMatcher::Automaton);
    {
        // The library without any limit, for comparison.
        std::size_t searches = 0, matches = 0;
        double slowest = 0;
        const auto start = CClock::now();
        for (const std::wstring& body : allRegexBodies) {
            for (const std::wstring& url : sample) {
                const auto one = CClock::now();
                const std::wregex re(body, std::regex_constants::ECMAScript);
                matches += std::regex_search(url, re, std::regex_constants::match_any);
                const double seconds = SecondsSince(one);
                slowest = seconds > slowest ? seconds : slowest;
                ++searches;
            }
        }
        const double seconds = SecondsSince(start);
        std::printf("  %-13s %8.2f us per compile+search, slowest %7.2f ms; %zu matches\n", "unguarded",
                    seconds / searches * 1e6, slowest * 1e3, matches);
    }
    const CMemory end = ProcessMemory();
    std::printf("Process: peak working set %.1f MB, private %.1f MB\n", end.peakWorkingSetMB, end.privateMB);
    return 0;
}
