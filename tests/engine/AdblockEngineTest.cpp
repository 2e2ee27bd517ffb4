#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/AdblockImage.h"
#include "engine/AdblockSyntax.h"
#include "engine/AllowedSites.h"
#include "engine/PublicSuffix.h"
#include "tests/support/Files.h"
#include "tests/support/TestEnvironment.h"

namespace {

std::unique_ptr<CAdblockImage> Compile(const std::string& text, std::vector<BYTE>& image)
{
    image = BuildAdblockImage({{"test", text}});
    return CAdblockImage::Open(image.data(), image.size());
}

// "B3": blocked by line 3; "A5": allowed by the exception on line 5; "-": no
// filter matched.
std::string Judge(const CAdblockImage& engine, const wchar_t* url, const wchar_t* page = L"",
                  RequestType type = kRequestImage)
{
    CAdblockVerdict v = engine.Judge({url, page, type});
    if (v.decision == CAdblockVerdict::None)
        return "-";
    return (v.decision == CAdblockVerdict::Block ? "B" : "A") + std::to_string(v.line);
}

TEST(AdblockSyntax, LineKindsAndCounts)
{
    CAdblockCounts counts;
    const char* lines[] = {
        "[Adblock Plus 2.0]", "! comment", "# hosts comment", "", "example.com##.ad", "##.banner",
        "example.com#@#.ad", "x.com#?#div:has(a)", "x.com#$#abort-on-property-read x", "x.com#%#var a;",
        "||ads.example.com^", "0.0.0.0 tracker.example", "127.0.0.1 localhost", "/ads/*$script,redirect=noop.js",
        "/ads/$scrpit", "/x$~third-party,third-party", "/y$domain=|a.com", "/z$~script,~image,~stylesheet,~object,"
        "~subdocument,~xmlhttprequest,~media,~font,~ping,~other"};
    for (const char* line : lines)
        counts.Add(ParseAdblockLine(line));
    EXPECT_EQ(counts.comments, 5u);
    EXPECT_EQ(counts.cosmetic, 6u);
    EXPECT_EQ(counts.network, 2u);
    EXPECT_EQ(counts.skipped, 2u);
    EXPECT_EQ(counts.skippedOptions["redirect"], 1u);
    EXPECT_EQ(counts.skippedOptions["scrpit"], 1u);
    EXPECT_EQ(counts.invalid, 3u);

    CAdblockLine hosts = ParseAdblockLine("0.0.0.0 Tracker.Example  # note");
    EXPECT_TRUE(hosts.filter.anchorHost);
    EXPECT_EQ(hosts.filter.pattern, "tracker.example^");
    CAdblockLine regex = ParseAdblockLine("@@/Ads\\D$/$match-case");
    EXPECT_TRUE(regex.filter.regex && regex.filter.exception);
    EXPECT_EQ(regex.filter.pattern, "Ads\\D$");
    EXPECT_EQ(ParseAdblockLine("/Ads\\D$/").filter.pattern, "ads\\D$");
    CAdblockLine types = ParseAdblockLine("x$~script,xhr,css,3p,domain=a.com|~b.a.com|google.*");
    EXPECT_EQ(types.filter.types, kRequestXmlHttpRequest | kRequestStylesheet);
    EXPECT_EQ(types.filter.party, CAdblockParty::Third);
    ASSERT_EQ(types.filter.domains.size(), 3u);
    EXPECT_TRUE(types.filter.domains[1].negated);
    EXPECT_TRUE(types.filter.domains[2].entity);
    EXPECT_EQ(types.filter.domains[2].name, "google");
    EXPECT_EQ(ParseAdblockLine("x$~image").filter.types, kRequestAnyResource & ~kRequestImage);
}

TEST(AdblockSyntax, RegistrableDomains)
{
    EXPECT_EQ(RegistrableDomain("ads.example.co.uk"), "example.co.uk");
    EXPECT_EQ(RegistrableDomain("a.b.example.com"), "example.com");
    EXPECT_EQ(RegistrableDomain("co.uk"), "co.uk");
    EXPECT_EQ(RegistrableDomain("foo.blogspot.com"), "foo.blogspot.com");  // private section
    EXPECT_EQ(RegistrableDomain("a.b.ck"), "a.b.ck");                      // "*.ck"
    EXPECT_EQ(RegistrableDomain("a.www.ck"), "www.ck");                    // "!www.ck"
    EXPECT_EQ(RegistrableDomain("127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(RegistrableDomain("localhost"), "localhost");
    EXPECT_EQ(PublicSuffixLength("www.google.co.uk"), 5u);
}

TEST(AdblockMatch, AnchorsSeparatorsAndCase)
{
    std::vector<BYTE> bytes;
    auto engine = Compile("||ads.example.com^\n"     // 1
                          "|http://start.test/\n"    // 2
                          "/banner.gif|\n"           // 3
                          "/ad-*-slot^\n"            // 4
                          "/CaseAd/$match-case\n"    // 5
                          "||cdn.test/lib/*.js\n"    // 6
                          "/\\/track\\d+\\.gif/\n",  // 7
                          bytes);
    ASSERT_TRUE(engine);
    EXPECT_EQ(Judge(*engine, L"http://ads.example.com/x"), "B1");
    EXPECT_EQ(Judge(*engine, L"https://sub.ads.example.com:8080/x"), "B1");
    EXPECT_EQ(Judge(*engine, L"http://ADS.example.com"), "B1");
    EXPECT_EQ(Judge(*engine, L"http://badads.example.com/"), "-");
    EXPECT_EQ(Judge(*engine, L"http://ads.example.community/"), "-");
    EXPECT_EQ(Judge(*engine, L"http://other.test/?u=ads.example.com"), "-");
    EXPECT_EQ(Judge(*engine, L"http://start.test/a"), "B2");
    EXPECT_EQ(Judge(*engine, L"http://x.test/?r=http://start.test/"), "-");
    EXPECT_EQ(Judge(*engine, L"http://x.test/banner.gif"), "B3");
    EXPECT_EQ(Judge(*engine, L"http://x.test/banner.gif?x"), "-");
    EXPECT_EQ(Judge(*engine, L"http://x.test/ad-top-slot?"), "B4");
    EXPECT_EQ(Judge(*engine, L"http://x.test/ad-top-slot"), "B4");  // "^" at the end
    EXPECT_EQ(Judge(*engine, L"http://x.test/ad-top-slots"), "-");
    EXPECT_EQ(Judge(*engine, L"http://x.test/CaseAd/1"), "B5");
    EXPECT_EQ(Judge(*engine, L"http://x.test/casead/1"), "-");
    EXPECT_EQ(Judge(*engine, L"http://cdn.test/lib/a/b.js"), "B6");
    EXPECT_EQ(Judge(*engine, L"http://x.test/TRACK12.gif"), "B7");
    EXPECT_EQ(Judge(*engine, L"http://x.test/track.gif"), "-");
}

// Each filter is filed under one key (a host, a word, the first letters of
// a long word, a site) and a regular expression's search is skipped when
// the URL's last character rules it out: none of that may hide a match.
TEST(AdblockMatch, KeysAndPrefiltersNeverHideAMatch)
{
    std::vector<BYTE> bytes;
    auto engine = Compile("||tracker.example.net^$third-party\n"                  // 1
                          "/getPixelSso\n"                                         // 2
                          "|http://$domain=~a.site.test|site.test\n"              // 3
                          "/\\.com\\/[0-9]{2,9}(\\.|\\/)(css|\\?)?$/\n"      // 4
                          "||com/banners/\n"                                       // 5
                          "/\\.(bid|top)\\/((?:[0-9]{2})(\\.|\\/))$/\n"               // 6
                          "/\\-(ad|pop)\\/?[0-9]x/\n"                                   // 7
                          "-ads-\n"                                                // 8
                          "^banner^\n"                                             // 9
                          "_track|\n"                                              // 10
                          "/^https?:\\/\\/([0-9a-z\\-]+\\.)?(anime|igg-games)\\.[a-z]{2,4}\\//\n"  // 11
                          "/xq\\.lit$/\n",                                          // 12
                          bytes);
    ASSERT_TRUE(engine);
    const wchar_t* page = L"http://page.test/";
    EXPECT_EQ(Judge(*engine, L"http://u@x.tracker.example.net:81/p", page), "B1");
    EXPECT_EQ(Judge(*engine, L"http://tracker.example.net.evil.test/p", page), "-");
    EXPECT_EQ(Judge(*engine, L"http://x.test/getPixelSsoCookie?x"), "B2");
    EXPECT_EQ(Judge(*engine, L"http://x.test/getPixel"), "-");
    EXPECT_EQ(Judge(*engine, L"http://x.test/p", L"http://www.site.test/"), "B3");
    EXPECT_EQ(Judge(*engine, L"http://x.test/p", L"http://a.site.test/"), "-");
    EXPECT_EQ(Judge(*engine, L"https://x.com/12/"), "B4");
    EXPECT_EQ(Judge(*engine, L"https://x.com/12.css"), "B4");
    EXPECT_EQ(Judge(*engine, L"https://x.com/12/?"), "B4");
    EXPECT_EQ(Judge(*engine, L"https://x.com/12/x"), "-");
    EXPECT_EQ(Judge(*engine, L"https://x.com/12.cs"), "-");
    EXPECT_EQ(Judge(*engine, L"http://cdn.com/banners/a.gif"), "B5");
    // Alternatives are looked for with the marks around them and the class
    // after them, and an optional mark ends what is looked for.
    EXPECT_EQ(Judge(*engine, L"http://a.top/x.top/12/"), "B6");
    EXPECT_EQ(Judge(*engine, L"http://a.top/x.top/1a/"), "-");
    EXPECT_EQ(Judge(*engine, L"http://a.test/x-pop5x"), "B7");
    EXPECT_EQ(Judge(*engine, L"http://a.test/x-ad/5x"), "B7");
    // Alternatives after an optional group: the marks either way round it.
    EXPECT_EQ(Judge(*engine, L"https://igg-games.com/x"), "B11");
    EXPECT_EQ(Judge(*engine, L"https://www.anime.net/x"), "B11");
    EXPECT_EQ(Judge(*engine, L"https://xanime.net/x"), "-");
    EXPECT_EQ(Judge(*engine, L"https://igg-gamesx.com/x"), "-");
    // The characters around a filter's word are asked of each place the URL
    // holds it; "^" after it also matches the URL's end.
    EXPECT_EQ(Judge(*engine, L"http://a.test/ads-y/x-ads-z"), "B8");
    EXPECT_EQ(Judge(*engine, L"http://a.test/x-ads_"), "-");
    EXPECT_EQ(Judge(*engine, L"http://a.test/x/banner"), "B9");
    EXPECT_EQ(Judge(*engine, L"http://a.test/x-banner?"), "-");
    EXPECT_EQ(Judge(*engine, L"http://a.test/x_track/x_track"), "B10");
    EXPECT_EQ(Judge(*engine, L"http://a.test/x_track/"), "-");
    // Every length and alignment of the URL's copy, in upper case, with and
    // without a character past ASCII.
    for (int k = 0; k < 40; ++k)
    {
        const std::wstring padding(static_cast<std::size_t>(k), L'A');
        EXPECT_EQ(Judge(*engine, (L"HTTP://X.TEST/" + padding + L"/GETPIXELSSO").c_str()), "B2") << k;
        EXPECT_EQ(Judge(*engine, (L"http://x.test/" + padding + L"\u00e9/getPixelSso").c_str()), "B2") << k;
        EXPECT_EQ(Judge(*engine, (L"http://x.test/" + padding + L"/getPixel").c_str()), "-") << k;
        EXPECT_EQ(Judge(*engine, (L"http://x.test/" + padding + L"xq.lit").c_str()), "B12") << k;
        EXPECT_EQ(Judge(*engine, (L"http://x.test/" + padding + L"xq.lix").c_str()), "-") << k;
    }
    // More words than the URL's keys keep on the stack, most of them alike.
    std::wstring many = L"http://x.test/";
    for (int i = 0; i < 300; ++i)
        many += L"a/";
    EXPECT_EQ(Judge(*engine, (many + L"getPixelSso").c_str()), "B2");
}

TEST(AdblockMatch, ContextOptions)
{
    std::vector<BYTE> bytes;
    auto engine = Compile("||t.test^$third-party\n"                          // 1
                          "||s.test/js/$script\n"                            // 2
                          "||d.test/a/$domain=a.com|~b.a.com\n"              // 3
                          "||e.test/$domain=google.*\n"                      // 4
                          "||x.test^\n"                                      // 5
                          "@@||x.test/ok/\n"                                 // 6
                          "||x.test/imp/$important\n"                        // 7
                          "@@||x.test/imp/\n"                                // 8
                          "||bad.test^\n"                                    // 9
                          "||bad.test^$badfilter\n"                          // 10
                          "||n.test/$~image\n"                               // 11
                          "||fp.test^$1p\n"                                  // 12
                          "||doc.test^$document\n"                          // 13
                          "||amazonaws.com^$third-party\n",                 // 14
                          bytes);
    ASSERT_TRUE(engine);
    EXPECT_EQ(Judge(*engine, L"http://t.test/a", L"http://page.test/"), "B1");
    EXPECT_EQ(Judge(*engine, L"http://cdn.t.test/a", L"http://www.t.test/"), "-");
    EXPECT_EQ(Judge(*engine, L"http://t.test/a"), "-");  // page unknown
    EXPECT_EQ(Judge(*engine, L"http://s.test/js/a", L"", kRequestScript), "B2");
    EXPECT_EQ(Judge(*engine, L"http://s.test/js/a", L"", kRequestImage), "-");
    EXPECT_EQ(Judge(*engine, L"http://s.test/js/a", L"", kRequestUnknown), "B2");
    EXPECT_EQ(engine->Judge({L"http://s.test/js/a", L"", kRequestUnknown}, CUnknownTypePolicy::UntypedOnly).decision,
              CAdblockVerdict::None);
    EXPECT_EQ(Judge(*engine, L"http://d.test/a/1", L"http://www.a.com/p"), "B3");
    EXPECT_EQ(Judge(*engine, L"http://d.test/a/1", L"http://x.b.a.com/p"), "-");
    EXPECT_EQ(Judge(*engine, L"http://d.test/a/1", L"http://aa.com/"), "-");
    EXPECT_EQ(Judge(*engine, L"http://e.test/1", L"http://www.google.co.uk/"), "B4");
    EXPECT_EQ(Judge(*engine, L"http://e.test/1", L"http://google.example.com/"), "-");
    EXPECT_EQ(Judge(*engine, L"http://x.test/ad"), "B5");
    EXPECT_EQ(Judge(*engine, L"http://x.test/ok/ad"), "A6");
    EXPECT_EQ(Judge(*engine, L"http://x.test/imp/ad"), "B7");
    EXPECT_EQ(Judge(*engine, L"http://bad.test/"), "-");
    EXPECT_EQ(Judge(*engine, L"http://n.test/", L"", kRequestImage), "-");
    EXPECT_EQ(Judge(*engine, L"http://n.test/", L"", kRequestScript), "B11");
    EXPECT_EQ(Judge(*engine, L"http://fp.test/", L"http://fp.test/"), "B12");
    EXPECT_EQ(Judge(*engine, L"http://fp.test/", L"http://other.test/"), "-");
    EXPECT_EQ(Judge(*engine, L"http://doc.test/", L"", kRequestDocument), "B13");
    EXPECT_EQ(Judge(*engine, L"http://doc.test/", L"", kRequestScript), "-");
    // Within the page's registrable domain by name, yet a site of its own
    // (s3.amazonaws.com is a public suffix).
    EXPECT_EQ(Judge(*engine, L"http://b.s3.amazonaws.com/a", L"http://www.amazonaws.com/"), "B14");
    EXPECT_EQ(Judge(*engine, L"http://cdn.amazonaws.com/a", L"http://www.amazonaws.com/"), "-");
    EXPECT_EQ(Judge(*engine, L"http://amazonaws.com/a", L"http://cdn.amazonaws.com/"), "-");
}

// Small lists judged over every combination of some URLs, pages and types,
// against the answers uBlock Origin's engine gave (bench/adblock-oracle.mjs
// made the file).
TEST(AdblockMatch, AgreesWithTheOracle)
{
    std::string file = ReadFileBytes(SourceDir() + L"\\tests\\engine\\data\\adblock-oracle.txt");
    std::vector<std::wstring> urls, pages;
    std::vector<RequestType> types;
    std::string lines, failures;
    std::size_t compared = 0, differ = 0;
    ForEachAdblockLine(file, [&](std::uint32_t, std::string_view line) {
        std::string_view value = line.substr(std::min<std::size_t>(2, line.size()));
        std::wstring wide(value.begin(), value.end());
        if (line.substr(0, 2) == "u ")
            urls.push_back(wide);
        else if (line.substr(0, 2) == "p ")
            pages.push_back(wide);
        else if (line.substr(0, 2) == "t ")
            types.push_back(RequestTypeFromName(wide));
        else if (line.substr(0, 2) == "f ")
            lines.append(value).append("\n");
        else if (line.substr(0, 2) == "v ")
        {
            std::vector<BYTE> bytes;
            auto engine = Compile(lines, bytes);
            ASSERT_TRUE(engine);
            ASSERT_EQ(value.size(), urls.size() * pages.size() * types.size());
            std::size_t at = 0, before = differ;
            for (const std::wstring& url : urls)
                for (const std::wstring& page : pages)
                    for (RequestType type : types)
                    {
                        CAdblockVerdict v = engine->Judge({url.c_str(), page.c_str(), type});
                        char ours = "012"[v.decision == CAdblockVerdict::None ? 0 : v.decision == CAdblockVerdict::Block ? 1 : 2];
                        ++compared;
                        if (ours != value[at++] && ++differ == before + 1)
                            failures += lines + "  " + std::string(url.begin(), url.end()) + " on " +
                                        std::string(page.begin(), page.end()) + " as " + std::to_string(type) +
                                        ": " + ours + " (oracle " + value[at - 1] + ")\n";
                    }
            lines.clear();
        }
    });
    EXPECT_GT(compared, 20000u);
    EXPECT_EQ(differ, 0u) << failures;
}

TEST(AdblockMatch, ManyListsNameTheirLines)
{
    std::vector<BYTE> bytes = BuildAdblockImage({{"first", "! x\n||a.test^\n"}, {"second", "\r\n@@||a.test/ok\r\n"}});
    auto engine = CAdblockImage::Open(bytes.data(), bytes.size());
    ASSERT_TRUE(engine);
    CAdblockVerdict v = engine->Judge({L"http://a.test/ok", nullptr, kRequestImage});
    EXPECT_EQ(v.decision, CAdblockVerdict::Allow);
    EXPECT_EQ(engine->GetListName(v.list), "second");
    EXPECT_EQ(v.line, 2u);
    EXPECT_EQ(engine->GetListName(7), "");
}

TEST(AdblockHostile, HugeAndBrokenListsStayBounded)
{
    std::string text;
    for (int i = 0; i < 1000000; ++i)
        text += "||h" + std::to_string(i) + ".test^\n";
    text += std::string(100 * 1024, 'a') + "\n";
    text += "||d.test^$domain=";
    for (int i = 0; i < 100000; ++i)
        text += (i ? "|" : "") + std::string("site") + std::to_string(i) + ".com";
    text += "\n$scirpt,thrid-party,domian=x.com,imprtant,~al\n";
    std::mt19937 random(19);
    for (int i = 0; i < 200000; ++i)
        text.push_back(static_cast<char>(random()));
    auto start = std::chrono::steady_clock::now();
    std::vector<CAdblockCounts> counts;
    std::vector<BYTE> bytes = BuildAdblockImage({{"hostile", text}}, &counts);
    auto engine = CAdblockImage::Open(bytes.data(), bytes.size());
    ASSERT_TRUE(engine);
    EXPECT_GE(counts[0].network, 1000001u);
    EXPECT_EQ(counts[0].invalidReasons["too long"], 1u);
    EXPECT_EQ(counts[0].skippedOptions["scirpt"], 1u);
    EXPECT_EQ(Judge(*engine, L"http://h999999.test/"), "B1000000");
    EXPECT_EQ(Judge(*engine, L"http://d.test/", L"http://site99999.com/"), "B1000002");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

// Any bytes whatever, and bytes rewritten while lookups run, never crash a
// reader or send it outside the image.
TEST(AdblockHostile, DamagedAndChangingImages)
{
    std::vector<BYTE> good = BuildAdblockImage(
        {{"l", "||a.test^$third-party,domain=x.com|~y.x.com|g.*\n/ad[0-9]+/\n@@||a.test/ok$image\n/b*c^d|\n"
               "||e.test^$important\n"}});
    const wchar_t* urls[] = {L"http://a.test/ok", L"http://q.test/ad12", L"http://e.test/bxc", L"http://"};
    std::mt19937 random(7);
    for (int round = 0; round < 3000; ++round)
    {
        std::vector<BYTE> bytes = good;
        for (int i = 0, n = 1 + random() % 8; i < n; ++i)
            bytes[random() % bytes.size()] = static_cast<BYTE>(random());
        // Unproved every other round, so that damage reaches the matchers.
        auto engine = CAdblockImage::Open(bytes.data(), bytes.size(), round % 2 == 0);
        if (!engine)
            continue;
        for (const wchar_t* url : urls)
            engine->Judge({url, L"http://x.com/", kRequestImage});
    }
    std::vector<BYTE> changing = good;
    auto engine = CAdblockImage::Open(changing.data(), changing.size());
    ASSERT_TRUE(engine);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::mt19937 r(11);
        volatile BYTE* bytes = changing.data();
        while (!stop.load())
            bytes[r() % changing.size()] = static_cast<BYTE>(r());
    });
    for (int i = 0; i < 20000; ++i)
        engine->Judge({urls[i % 4], L"http://www.x.com/", kRequestImage});
    stop = true;
    writer.join();
    // Damage after the header is found by the first lookup that reads its
    // page; in the header or the pages' checksums, by Open.
    auto intact = CAdblockImage::Open(good.data(), good.size());
    ASSERT_TRUE(intact);
    EXPECT_EQ(intact->Judge({L"http://e.test/x", L"", kRequestImage}).decision, CAdblockVerdict::Block);
    std::vector<BYTE> flipped = good;
    flipped[good.size() / 2] ^= 4;
    auto damaged = CAdblockImage::Open(flipped.data(), flipped.size());
    ASSERT_TRUE(damaged);
    EXPECT_EQ(damaged->Judge({L"http://e.test/x", L"", kRequestImage}).decision, CAdblockVerdict::None);
    EXPECT_TRUE(damaged->IsDamaged());
    for (std::size_t at : {std::size_t(24), good.size() - 1})
    {
        flipped = good;
        flipped[at] ^= 4;
        EXPECT_FALSE(CAdblockImage::Open(flipped.data(), flipped.size())) << at;
    }
}

}  // namespace

// A site the user allowed: its pages' requests all load, "$important" ones
// too, and only on that site; the text functions keep one line per site.
TEST(AllowedSites, DocumentExceptionAllowsEveryRequestOfThePage)
{
    std::vector<BYTE> image;
    std::string text = "||ads.test^\n||track.test^$important\n";
    text = AddAllowedSite(text, "shop.example");
    text = AddAllowedSite(text, "shop.example");
    auto engine = Compile(text, image);
    ASSERT_TRUE(engine);
    EXPECT_EQ(Judge(*engine, L"http://ads.test/a.gif", L"http://shop.example/p"), "A3");
    EXPECT_EQ(Judge(*engine, L"http://track.test/t.gif", L"http://www.shop.example/p"), "A3");
    EXPECT_EQ(Judge(*engine, L"http://ads.test/a.gif", L"http://shop.example.evil.test/p"), "B1");
    EXPECT_EQ(Judge(*engine, L"http://ads.test/a.gif", L"http://other.test/?shop.example"), "B1");
    EXPECT_EQ(Judge(*engine, L"http://ads.test/a.gif"), "B1");
    EXPECT_EQ(engine->JudgePage(L"http://shop.example/").decision, CAdblockVerdict::Allow);
    EXPECT_EQ(engine->JudgePage(L"http://other.test/").decision, CAdblockVerdict::None);

    EXPECT_EQ(AllowedSitesOf(text), std::vector<std::string>{"shop.example"});
    bool removed = false;
    EXPECT_EQ(RemoveAllowedSite(text, "shop.example", &removed), "||ads.test^\n||track.test^$important\n");
    EXPECT_TRUE(removed);
    RemoveAllowedSite(text, "other.test", &removed);
    EXPECT_FALSE(removed);
    EXPECT_EQ(AddAllowedSite("", "a.test"), "! Title: Allowed sites\n@@||a.test^$document\n");

    EXPECT_EQ(NormalizeAllowedSite(L"HTTPS://user@Shop.Example.:8080/path?q"), "shop.example");
    EXPECT_EQ(NormalizeAllowedSite(L"shop.example"), "shop.example");
    for (const wchar_t* bad : {L"", L"a..b", L"a b.test", L"a^b.test", L"http:///x", L"\u00e9.test", L"*.test"})
        EXPECT_FALSE(NormalizeAllowedSite(bad)) << bad;
}
