// The Adblock-list engine on real lists: the time to compile them, the
// image's size beside the lists' text, the time a fresh process takes to map
// the image and give its first verdict, and the verdict with context over
// recorded requests beside uBlock Origin's answers (agreement both ways) and
// beside the peers' timings handed in (same requests, same context).
//
//   AdblockBench.exe --requests REQUESTS.tsv [--peer "NAME MEDIAN P99"]... LIST...
//   AdblockBench.exe --first IMAGE URL      (the fresh process's role)
//   AdblockBench.exe --verdicts-only --requests REQUESTS.tsv LIST...
//                    (prints "MEDIAN P99" of the timed pass alone: bench/run.sh's
//                    alternating rounds)
//
// REQUESTS.tsv: type, page, URL and uBO's answer (0 none, 1 block, 2 allowed
// by an exception) per line, as bench/adblock-oracle.mjs writes it.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/AdblockImage.h"

namespace {

std::wstring Widen(const std::string& s)
{
    return std::wstring(s.begin(), s.end());
}

// Maps the image and judges one URL: what a browser process that starts
// after the image was published pays before its first verdict.
int FirstVerdict(const wchar_t* path, const wchar_t* url)
{
    double start = NowMicroseconds();
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    LARGE_INTEGER size;
    GetFileSizeEx(file, &size);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const BYTE* view = static_cast<const BYTE*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    // As the lists' store opens it: the header and the pages' checksums
    // proved, each page proved when the lookup first reads it.
    auto image = CAdblockImage::Open(view, static_cast<std::size_t>(size.QuadPart), true);
    double opened = NowMicroseconds();
    CAdblockVerdict verdict = image ? image->Judge({url, L"http://www.example.com/", kRequestScript}) : CAdblockVerdict();
    double judged = NowMicroseconds();
    std::printf("%.0f %.0f %d\n", opened - start, judged - start, static_cast<int>(verdict.decision));
    return image ? 0 : 1;
}

struct CRequestLine
{
    std::wstring url, page;
    RequestType type;
    int ubo;
};

std::vector<CRequestLine> ReadRequests(const std::wstring& path)
{
    std::vector<CRequestLine> requests;
    std::istringstream in(ReadFileText(path));
    for (std::string line; std::getline(in, line);)
    {
        std::istringstream fields(line);
        std::string type, page, url, answer;
        if (std::getline(fields, type, '\t') && std::getline(fields, page, '\t') && std::getline(fields, url, '\t') &&
            std::getline(fields, answer))
            requests.push_back({Widen(url), Widen(page), RequestTypeFromName(Widen(type)), std::atoi(answer.c_str())});
    }
    return requests;
}

// Timed on a second pass, as the peers are (their script answers every
// request once before it times them): the first pass proves the image's
// pages and compiles the expressions it meets, which a browser does once per
// process. Returns the sorted times and each verdict.
std::vector<double> TimeVerdicts(const CAdblockImage& engine, const std::vector<CRequestLine>& requests,
                                 std::vector<CAdblockVerdict>* verdicts)
{
    for (const CRequestLine& r : requests)
        engine.Judge({r.url.c_str(), r.page.c_str(), r.type});
    std::vector<double> times;
    for (const CRequestLine& r : requests)
    {
        double start = NowMicroseconds();
        verdicts->push_back(engine.Judge({r.url.c_str(), r.page.c_str(), r.type}));
        times.push_back(NowMicroseconds() - start);
    }
    std::sort(times.begin(), times.end());
    return times;
}

double At(const std::vector<double>& sorted, double fraction)
{
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, std::size_t(fraction * double(sorted.size())))];
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wstring(argv[1]) == L"--first")
        return FirstVerdict(argv[2], argv[3]);
    std::wstring requestsPath;
    std::vector<std::string> peers;
    std::vector<std::wstring> listPaths;
    bool verdictsOnly = false;
    for (int i = 1; i < argc; ++i)
    {
        std::wstring arg = argv[i];
        if (arg == L"--requests" && i + 1 < argc)
            requestsPath = argv[++i];
        else if (arg == L"--verdicts-only")
            verdictsOnly = true;
        else if (arg == L"--peer" && i + 1 < argc)
        {
            std::wstring peer = argv[++i];
            peers.emplace_back(peer.begin(), peer.end());
        }
        else
            listPaths.push_back(arg);
    }
    std::vector<std::string> texts;
    std::vector<std::string> names;
    std::vector<CAdblockListText> lists;
    std::size_t textBytes = 0;
    for (const std::wstring& path : listPaths)
    {
        texts.push_back(ReadFileText(path));
        names.emplace_back(path.begin(), path.end());
        textBytes += texts.back().size();
    }
    for (std::size_t i = 0; i < texts.size(); ++i)
        lists.push_back({names[i], texts[i]});

    if (verdictsOnly)
    {
        const std::vector<BYTE> image = BuildAdblockImage(lists, nullptr);
        auto engine = CAdblockImage::Open(image.data(), image.size());
        if (!engine || requestsPath.empty())
            return 1;
        std::vector<CAdblockVerdict> verdicts;
        const std::vector<double> times = TimeVerdicts(*engine, ReadRequests(requestsPath), &verdicts);
        std::printf("%.2f %.2f\n", At(times, 0.5), At(times, 0.99));
        return 0;
    }

    std::vector<double> compile;
    std::vector<BYTE> image;
    std::vector<CAdblockCounts> counts;
    for (int round = 0; round < 3; ++round)
    {
        double start = NowMicroseconds();
        image = BuildAdblockImage(lists, &counts);
        compile.push_back(NowMicroseconds() - start);
    }
    std::sort(compile.begin(), compile.end());
    std::printf("compile %zu lists (%zu bytes): %.3f s (median of 3; target <= 0.5 s)\n", lists.size(), textBytes,
                compile[1] / 1e6);
    std::printf("image: %zu bytes, %.2fx the lists' text (target <= 1.5x)\n", image.size(),
                double(image.size()) / double(textBytes));
    for (std::size_t i = 0; i < counts.size(); ++i)
    {
        std::printf("  %s: %zu lines, %zu network, %zu cosmetic, %zu skipped, %zu invalid;", names[i].c_str(),
                    counts[i].lines, counts[i].network, counts[i].cosmetic, counts[i].skipped, counts[i].invalid);
        std::vector<std::pair<std::size_t, std::string>> options;
        for (const auto& [name, count] : counts[i].skippedOptions)
            options.emplace_back(count, name);
        std::sort(options.rbegin(), options.rend());
        for (std::size_t k = 0; k < options.size() && k < 8; ++k)
            std::printf(" %s %zu", options[k].second.c_str(), options[k].first);
        std::printf("\n");
    }

    // A fresh process maps the image and judges once.
    wchar_t folder[MAX_PATH], imagePath[MAX_PATH], self[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"qab", 0, imagePath);
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    {
        std::ofstream out(imagePath, std::ios::binary);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    }
    std::vector<double> firsts, opens;
    for (int round = 0; round < 5; ++round)
    {
        std::wstring command = L"\"" + std::wstring(self) + L"\" --first \"" + imagePath +
                               L"\" http://ads.example.com/banner/ad.js";
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE readPipe, writePipe;
        CreatePipe(&readPipe, &writePipe, &inherit, 0);
        SetHandleInformation(readPipe, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = writePipe;
        PROCESS_INFORMATION process;
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        {
            CloseHandle(writePipe);
            char buffer[128] = {};
            DWORD read = 0;
            ReadFile(readPipe, buffer, sizeof(buffer) - 1, &read, nullptr);
            WaitForSingleObject(process.hProcess, 30000);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
            double opened = 0, judged = 0;
            if (std::sscanf(buffer, "%lf %lf", &opened, &judged) == 2)
            {
                firsts.push_back(judged);
                opens.push_back(opened);
            }
        }
        else
            CloseHandle(writePipe);
        CloseHandle(readPipe);
    }
    DeleteFileW(imagePath);
    std::sort(firsts.begin(), firsts.end());
    std::sort(opens.begin(), opens.end());
    if (!firsts.empty())
        std::printf("first verdict of a fresh process (map, check, judge proving the pages it reads): %.0f us median of %zu, "
                    "%.0f us of it to map and open (target <= 1000 us)\n",
                    firsts[firsts.size() / 2], firsts.size(), opens[opens.size() / 2]);

    if (requestsPath.empty())
        return 0;
    auto engine = CAdblockImage::Open(image.data(), image.size());
    CAdblockImage::CStatistics statistics = engine->GetStatistics();
    std::printf("%u filters; looked at for every URL: %u blocks, %u exceptions; %u regular expressions\n",
                engine->GetFilterCount(), statistics.untokenized[0], statistics.untokenized[1], statistics.regexes);
    const std::vector<CRequestLine> requests = ReadRequests(requestsPath);
    std::vector<CAdblockVerdict> verdicts;
    const std::vector<double> times = TimeVerdicts(*engine, requests, &verdicts);
    std::size_t blocked = 0, uboBlocked = 0, both = 0, extra = 0;
    std::map<std::string, std::size_t> missedBy, extraBy;
    std::vector<std::string> examples;
    for (std::size_t i = 0; i < requests.size(); ++i)
    {
        const CRequestLine& r = requests[i];
        const CAdblockVerdict& v = verdicts[i];
        bool ours = v.decision == CAdblockVerdict::Block;
        blocked += ours;
        uboBlocked += r.ubo == 1;
        both += ours && r.ubo == 1;
        if (ours && r.ubo != 1)
        {
            ++extra;
            if (examples.size() < 40)
                examples.push_back("extra  " + std::string(r.url.begin(), r.url.end()).substr(0, 120) + " by " +
                                   engine->GetListName(v.list) + ":" + std::to_string(v.line));
        }
        if (!ours && r.ubo == 1 && examples.size() < 40)
            examples.push_back("missed " + std::string(r.url.begin(), r.url.end()).substr(0, 120) + " on " +
                               std::string(r.page.begin(), r.page.end()) + " as " + std::to_string(r.type) +
                               (v.decision == CAdblockVerdict::Allow
                                    ? " allowed by " + engine->GetListName(v.list) + ":" + std::to_string(v.line)
                                    : std::string()));
    }
    auto at = [&](double f) { return At(times, f); };
    std::printf("verdict with context over %zu requests: median %.2f us, p99 %.2f us, max %.1f us (target p99 <= 25 us)\n",
                times.size(), at(0.5), at(0.99), times.back());
    double fastest = 0;
    for (const std::string& peer : peers)
    {
        char name[128];
        double median = 0, p99 = 0;
        if (std::sscanf(peer.c_str(), "%127s %lf %lf", name, &median, &p99) == 3)
        {
            std::printf("  %-22s median %.2f us, p99 %.2f us\n", name, median, p99);
            if (fastest == 0 || median < fastest)
                fastest = median;
        }
    }
    if (fastest > 0)
        std::printf("  ratio of medians to the fastest peer: %.2f (target <= 0.3)\n", at(0.5) / fastest);
    std::printf("agreement with uBlock Origin: it blocks %zu, we block %zu; %zu of its blocks (%.2f%%), "
                "%zu extra (%.3f%% of all requests)\n",
                uboBlocked, blocked, both, uboBlocked ? 100.0 * double(both) / double(uboBlocked) : 100.0, extra,
                requests.empty() ? 0.0 : 100.0 * double(extra) / double(requests.size()));
    if (GetEnvironmentVariableW(L"QUELLAN_BENCH_DIFFERENCES", nullptr, 0))
    {
        for (const std::string& example : examples)
            std::printf("  %s\n", example.c_str());
    }
    return 0;
}
