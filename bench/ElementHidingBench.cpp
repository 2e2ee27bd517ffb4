// Element hiding on real lists: the time to read the lists and prepare the
// generic sheets, what the lists hold by kind (what IE 7/8 cannot apply,
// counted), and per page host (the distinct hosts of the recorded pages):
// the rules and sheets injected and the time to compose a host's style,
// first and cached, beside a peer's time for its cosmetic filters of the
// same hosts when handed in.
//
//   ElementHidingBench.exe --pages SITELIST [--peer "NAME MEDIAN P99"]... LIST...

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/ElementHiding.h"

namespace {

// The distinct hosts of the page URLs, in order of first appearance.
std::vector<std::string> PageHosts(const std::string& text)
{
    std::vector<std::string> hosts;
    std::set<std::string> seen;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
    {
        std::size_t start = line.find("://");
        if (start == std::string::npos)
            continue;
        start += 3;
        std::size_t end = line.find_first_of(":/?#\r", start);
        std::string host = line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!host.empty() && seen.insert(host).second)
            hosts.push_back(host);
    }
    return hosts;
}

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * double(values.size())))];
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    std::wstring pages;
    std::vector<std::string> peers;
    std::vector<std::string> texts;
    std::vector<std::string> names;
    for (int i = 1; i < argc; ++i)
    {
        std::wstring arg = argv[i];
        if (arg == L"--pages" && i + 1 < argc)
            pages = argv[++i];
        else if (arg == L"--peer" && i + 1 < argc)
        {
            std::wstring peer = argv[++i];
            peers.emplace_back(peer.begin(), peer.end());
        }
        else
        {
            texts.push_back(ReadFileText(arg));
            names.emplace_back(arg.begin(), arg.end());
        }
    }
    std::vector<CHidingListText> lists;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < texts.size(); ++i)
    {
        lists.push_back({names[i], texts[i]});
        bytes += texts[i].size();
    }

    std::vector<double> builds;
    std::unique_ptr<CElementHiding> hiding;
    for (int run = 0; run < 5; ++run)
    {
        double start = NowMicroseconds();
        hiding = std::make_unique<CElementHiding>(lists);
        builds.push_back(NowMicroseconds() - start);
    }
    const CHidingCounts& counts = hiding->GetCounts();
    std::printf("lists: %zu bytes; prepare (parse, check, generic sheets of IE 7 and IE 8): median %.1f ms\n", bytes,
                Percentile(builds, 0.5) / 1000);
    std::printf("hide lines kept %zu (IE 8 only %zu), exceptions %zu, page exceptions %zu\n", counts.hide,
                counts.ie8Only, counts.exceptions, counts.pageExceptions);
    std::size_t leftOut = 0;
    for (const auto& [reason, count] : counts.leftOut)
        leftOut += count;
    std::printf("left out %zu:", leftOut);
    for (const auto& [reason, count] : counts.leftOut)
        std::printf(" %s %zu;", reason.c_str(), count);
    std::printf("\ngeneric rules: IE 7 %zu, IE 8 %zu (sheets of at most %zu rules, at most %zu sheets a page)\n",
                hiding->GetGenericRuleCount(CCssLevel::IE7), hiding->GetGenericRuleCount(CCssLevel::IE8),
                kMaxRulesPerSheet, kHidingSheetBudget);

    std::vector<std::string> hosts = PageHosts(ReadFileText(pages));
    for (CCssLevel level : {CCssLevel::IE7, CCssLevel::IE8})
    {
        std::vector<double> first, cached, rules, site, convert;
        std::size_t sheets = 0, over = 0, bytesMax = 0;
        for (const std::string& host : hosts)
        {
            double start = NowMicroseconds();
            auto style = hiding->StyleFor(host, level);
            first.push_back(NowMicroseconds() - start);
            start = NowMicroseconds();
            hiding->StyleFor(host, level);
            cached.push_back(NowMicroseconds() - start);
            rules.push_back(double(style->rules));
            site.push_back(double(style->siteRules));
            sheets = std::max(sheets, style->sheets.size());
            over += style->overBudget;
            std::size_t size = 0;
            for (const auto& sheet : style->sheets)
                size += sheet->size();
            bytesMax = std::max(bytesMax, size);
            // What the helper object does per page besides the cached
            // lookup: each sheet becomes the UTF-16 text the browser takes.
            start = NowMicroseconds();
            for (const auto& sheet : style->sheets)
            {
                int length = MultiByteToWideChar(CP_UTF8, 0, sheet->data(), int(sheet->size()), nullptr, 0);
                std::wstring wide(std::size_t(length), L'\0');
                MultiByteToWideChar(CP_UTF8, 0, sheet->data(), int(sheet->size()), &wide[0], length);
            }
            convert.push_back(NowMicroseconds() - start);
        }
        std::printf("IE %d, %zu page hosts: rules a page median %.0f (site %.0f, max %.0f), sheets max %zu, "
                    "style text max %zu bytes, rules over budget %zu\n",
                    static_cast<int>(level), hosts.size(), Percentile(rules, 0.5), Percentile(site, 0.5),
                    Percentile(site, 1.0), sheets, bytesMax, over);
        std::printf("  style per host, first: median %.1f us, p99 %.1f us, max %.1f us; cached: median %.2f us\n",
                    Percentile(first, 0.5), Percentile(first, 0.99), Percentile(first, 1.0), Percentile(cached, 0.5));
        std::printf("  per page, the sheets as the browser's UTF-16 text: median %.1f us, max %.1f us\n",
                    Percentile(convert, 0.5), Percentile(convert, 1.0));
    }
    // A fresh engine, so that the slowest hosts are timed uncached.
    hiding = std::make_unique<CElementHiding>(lists);
    std::vector<std::pair<double, std::string>> slowest;
    for (const std::string& host : hosts)
    {
        double start = NowMicroseconds();
        hiding->StyleFor(host, CCssLevel::IE8);
        slowest.emplace_back(NowMicroseconds() - start, host);
    }
    std::sort(slowest.rbegin(), slowest.rend());
    for (std::size_t i = 0; i < slowest.size() && i < 3; ++i)
        std::printf("  slowest: %-28s %.1f us\n", slowest[i].second.c_str(), slowest[i].first);
    for (std::size_t i = 0; i < hosts.size() && i < 5; ++i)
    {
        auto style = hiding->StyleFor(hosts[i], CCssLevel::IE8);
        std::printf("  %-28s rules %zu (site %zu), sheets %zu\n", hosts[i].c_str(), style->rules, style->siteRules,
                    style->sheets.size());
    }
    for (const std::string& peer : peers)
        std::printf("peer %s (median, p99 us per host)\n", peer.c_str());
    return 0;
}
