#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/ElementHiding.h"

namespace {

// "hide 7 .a|.b", "except 8 ...", "page 1 host", "out reason", "-".
std::string Describe(const char* text)
{
    CHidingLine line = ParseHidingLine(text);
    switch (line.kind)
    {
    case CHidingLineKind::NotHiding:
        return "-";
    case CHidingLineKind::LeftOut:
        return "out " + line.reason;
    case CHidingLineKind::PageException:
        return "page " + std::to_string(line.pageFlags) + " " + line.domains.at(0).name;
    default:
        break;
    }
    std::string out = line.kind == CHidingLineKind::Hide ? "hide" : "except";
    for (const CHidingSelector& s : line.selectors)
        out += " " + std::to_string(static_cast<int>(s.level)) + ":" + s.text;
    return out;
}

// The selectors a page gets, whatever sheet they are in.
std::set<std::string> Selectors(const CHidingStyle& style)
{
    std::set<std::string> out;
    for (const auto& sheet : style.sheets)
        for (std::size_t at = 0, end; (end = sheet->find("{display:none !important}\n", at)) != std::string::npos;
             at = end + 26)
            out.insert(sheet->substr(at, end - at));
    return out;
}

TEST(ElementHiding, LinesAndSelectorsByKind)
{
    struct
    {
        const char* line;
        const char* expected;
    } cases[] = {
        // What both versions read.
        {"##.ad-banner", "hide 7:.ad-banner"},
        {"example.com,~sub.example.com##div#sponsor > a[href^=\"http://ads.\"]",
         "hide 7:div#sponsor > a[href^=\"http://ads.\"]"},
        {"##*[id|=ad] + p ~ span:first-child", "hide 7:*[id|=ad] + p ~ span:first-child"},
        {"##A[title~='x,y'] B", "hide 7:A[title~='x,y'] B"},
        {"##div:FOCUS", "hide 8:div:FOCUS"},
        {"##p:lang(en)", "hide 8:p:lang(en)"},
        // A group: the part IE rejects must not take the other with it.
        {"##.a, .b:last-child,[x$=y]", "hide 7:.a 7:[x$=y]"},
        {"example.com#@#.ad", "except 7:.ad"},
        {"google.*##.g", "hide 7:.g"},
        // What neither reads.
        {"##.b:last-child", "out selector: pseudo-class"},
        {"##div:not(.x)", "out selector: pseudo-class"},
        {"##p::before", "out selector: pseudo-element"},
        {"##.\\31 23", "out selector: escape"},
        {"##[data-x=\"a\" i]", "out selector: attribute flag"},
        {"##svg|a", "out selector: namespace"},
        {"##.1ad", "out selector: bad name"},
        {"##[width=300]", "out selector: bad name"},
        {"##div >", "out selector: dangling combinator"},
        {"##div{color:red}", "out selector: unexpected character"},
        {"##a[title=\"x]", "out selector: bad string"},
        {"##\xC0\x80", "out selector: not UTF-8"},
        {"x.com##div:has(> a)", "out procedural"},
        {"x.com##div:-abp-contains(ad)", "out procedural"},
        {"x.com##.a:style(color: red)", "out procedural"},
        {"x.com#?#div", "out procedural"},
        {"x.com##+js(abort-on-property-read, x)", "out scriptlet"},
        {"x.com#$#log 1", "out scriptlet"},
        {"x.com#%#var a;", "out scriptlet"},
        {"x.com##^script:has-text(ad)", "out html"},
        {"/re/##.a", "out bad domain"},
        {"x.com/path##.a", "out bad domain"},
        // Page exceptions of whole hosts; the rest is left out or no concern.
        {"@@||site.com^$generichide", "page 1 site.com"},
        {"@@||Site.com^$elemhide", "page 2 site.com"},
        {"@@||site.com^$document", "page 2 site.com"},
        {"@@||site.com/path$elemhide", "out page exception"},
        {"@@||site.com^$elemhide,domain=a.com", "out page exception"},
        {"@@||site.com^$script", "-"},
        {"||ads.com^", "-"},
        {"! ##.comment", "-"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Describe(c.line), c.expected) << c.line;
}

TEST(ElementHiding, StylePerSite)
{
    const char* text =
        "##.generic\n"
        "##.generic\n"
        "##.undone\n"
        "#@#.undone\n"
        "##.excepted-on-shop\n"
        "shop.example#@#.excepted-on-shop\n"
        "example.com,~quiet.example.com##.site\n"
        "example.com#@#.site-undone\n"
        "example.com##.site-undone\n"
        "~example.com##.not-on-example\n"
        "google.*##.entity\n"
        "news.com##div:focus\n"
        "news.com##.bad:nth-child(2), .kept\n"
        "@@||nogeneric.com^$generichide\n"
        "nogeneric.com##.own\n"
        "@@||allowed.org^$document\n";
    CElementHiding hiding(std::vector<CHidingListText>{{"list", text}});
    auto selectors = [&](const char* host, CCssLevel level = CCssLevel::IE7) {
        std::string out;
        for (const std::string& s : Selectors(*hiding.StyleFor(host, level)))
            out += s + " ";
        return out;
    };
    const std::string generic = ".excepted-on-shop .generic .not-on-example ";
    EXPECT_EQ(selectors("other.net"), generic);
    EXPECT_EQ(selectors("www.example.com"), ".excepted-on-shop .generic .site ");
    EXPECT_EQ(selectors("quiet.example.com"), ".excepted-on-shop .generic ");
    EXPECT_EQ(selectors("a.shop.example"), ".generic .not-on-example ");
    EXPECT_EQ(selectors("www.google.co.uk"), ".entity " + generic);
    EXPECT_EQ(selectors("google.example.com"), ".excepted-on-shop .generic .site ");
    EXPECT_EQ(selectors("news.com"), ".excepted-on-shop .generic .kept .not-on-example ");
    EXPECT_EQ(selectors("news.com", CCssLevel::IE8), ".excepted-on-shop .generic .kept .not-on-example div:focus ");
    EXPECT_EQ(selectors("sub.nogeneric.com"), ".own ");
    EXPECT_EQ(selectors("www.allowed.org"), "");

    // The generic sheets are prepared once and shared; selectors a site
    // excepts have a sheet of their own, which only that site's pages
    // rebuild.
    auto a = hiding.StyleFor("one.net", CCssLevel::IE7);
    auto b = hiding.StyleFor("two.net", CCssLevel::IE7);
    auto shop = hiding.StyleFor("shop.example", CCssLevel::IE7);
    ASSERT_EQ(a->sheets.size(), 3u);  // ".not-on-example"; ".generic"; ".excepted-on-shop"
    EXPECT_EQ(a->rules, 3u);          // ".generic" once
    EXPECT_EQ(a->sheets[1], b->sheets[1]);
    EXPECT_EQ(a->sheets[2], b->sheets[2]);
    EXPECT_EQ(*a->sheets[1], ".generic{display:none !important}\n");
    ASSERT_EQ(shop->sheets.size(), 2u);
    EXPECT_EQ(shop->sheets[1], a->sheets[1]);
    EXPECT_EQ(hiding.StyleFor("ONE.net.", CCssLevel::IE7), a);
    EXPECT_EQ(hiding.GetCounts().hide, 11u);
    EXPECT_EQ(hiding.GetCounts().exceptions, 3u);
    EXPECT_EQ(hiding.GetCounts().pageExceptions, 2u);
    EXPECT_EQ(hiding.GetCounts().ie8Only, 1u);
}

TEST(ElementHiding, HostileListsStayBounded)
{
    // Garbage, a huge selector and a huge domain list are counted, never
    // applied; more rules than the browser can take are cut to its limits.
    std::string text;
    std::mt19937 random(21);
    for (int i = 0; i < 2000; ++i)
    {
        std::string line = "##";
        for (int k = random() % 200; k > 0; --k)
            line += static_cast<char>(random() % 255 + 1);
        for (char& c : line)
            c = c == '\n' || c == '\r' ? ' ' : c;
        text += line + "\n";
    }
    text += "##" + std::string(kMaxSelector + 1, 'a') + "\n";
    text += std::string(70000, 'a') + ".com##.x\n";
    const std::size_t many = kHidingSheetBudget * kMaxRulesPerSheet + 1000;
    for (std::size_t i = 0; i < many; ++i)
        text += "##.r" + std::to_string(i) + "\n";
    CElementHiding hiding(std::vector<CHidingListText>{{"hostile", text}});
    auto style = hiding.StyleFor("any.host", CCssLevel::IE8);
    EXPECT_EQ(style->sheets.size(), kHidingSheetBudget);
    for (std::size_t rules : style->sheetRules)
        EXPECT_LE(rules, kMaxRulesPerSheet);
    EXPECT_GE(style->overBudget, 1000u);
    EXPECT_EQ(style->rules + style->overBudget, hiding.GetGenericRuleCount(CCssLevel::IE8));
    for (const std::string& selector : Selectors(*style))
        EXPECT_TRUE(CheckSelector(selector).accepted) << selector;
    EXPECT_GT(hiding.GetCounts().leftOut.at("selector: too long"), 0u);
    EXPECT_EQ(hiding.GetCounts().leftOut.at("too long"), 1u);
    EXPECT_TRUE(hiding.StyleFor(std::string(100000, '.'), CCssLevel::IE7)->sheets.size() > 0);
}

}  // namespace
