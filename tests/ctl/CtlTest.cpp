// QuellanCtl run as a user would: the shipped executable, started as a
// separate process against the user's real store.

#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <regex>

#include "com/Error.h"
#include "com/Handle.h"
#include "storage/FilterListStore.h"
#include "storage/NamedMutex.h"
#include "storage/NamedObjects.h"
#include "tests/support/Files.h"
#include "tests/support/HttpServer.h"
#include "tests/support/Process.h"
#include "tests/support/TestEnvironment.h"
#include "verdict/UrlVerdict.h"

namespace {

std::wstring CtlPath()
{
    return ShippedBinaryDir() + L"\\ctl\\QuellanCtl.exe";
}

CProgramResult Ctl(const std::vector<std::wstring>& args)
{
    return RunProgram(CtlPath(), args);
}

std::string Utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

// QuellanCtl with standard input read from a file; standard output and
// error come back together.
CProgramResult CtlWithInput(const std::vector<std::wstring>& args, const std::wstring& inputPath)
{
    CProgramResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    CFileHandle input(CreateFileW(inputPath.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit, OPEN_EXISTING, 0,
                                  nullptr));
    const std::wstring outPath = inputPath + L".out";
    CFileHandle output(CreateFileW(outPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, CREATE_ALWAYS, 0, nullptr));
    if (!input || !output) {
        ADD_FAILURE() << "cannot open the input or output file";
        return result;
    }
    std::wstring commandLine = QuoteArgument(CtlPath());
    for (const auto& arg : args)
        commandLine += L" " + QuoteArgument(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.Get();
    startup.hStdOutput = output.Get();
    startup.hStdError = output.Get();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(CtlPath().c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        ADD_FAILURE() << "cannot start QuellanCtl: " << GetLastError();
        return result;
    }
    CloseHandle(process.hThread);
    CHandle owned(process.hProcess);
    if (WaitForSingleObject(owned.Get(), 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "QuellanCtl did not finish in time";
        TerminateProcess(owned.Get(), 255);
    }
    GetExitCodeProcess(owned.Get(), &result.exitCode);
    output.Reset();
    result.out = ReadFileBytes(outPath);
    return result;
}

class QuellanCtl : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(Ctl({L"clear"}).exitCode, 0u);
        m_folder = MakeScratchDir();
    }

    std::wstring File(const wchar_t* name) const { return m_folder + L"\\" + name; }

    std::string List() const
    {
        CProgramResult list = Ctl({L"list"});
        EXPECT_EQ(list.exitCode, 0u) << list.err;
        return list.out;
    }

    // Starts firstProgram and secondProgram (QuellanCtl builds), each adding
    // 40 filters, at once; each appends its filters as one block, so the list
    // must be one block after the other, in either order.
    void ExpectAddsAtOnceBothLand(const std::wstring& firstProgram, const std::wstring& secondProgram) const
    {
        std::vector<std::wstring> first = {L"add"}, second = {L"add"};
        std::string firstBlock, secondBlock;
        for (int i = 0; i < 40; ++i) {
            first.push_back(L"*first" + std::to_wstring(i) + L"*");
            second.push_back(L"*second" + std::to_wstring(i) + L"*");
            firstBlock += "*first" + std::to_string(i) + "*\n";
            secondBlock += "*second" + std::to_string(i) + "*\n";
        }
        CHandle out(CreateFileW(File(L"out.log").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, 0, nullptr));
        SetHandleInformation(out.Get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        CHandle a = StartProcess(firstProgram, first, out.Get(), out.Get());
        CHandle b = StartProcess(secondProgram, second, out.Get(), out.Get());
        HANDLE both[] = {a.Get(), b.Get()};
        ASSERT_EQ(WaitForMultipleObjects(2, both, TRUE, 60000), WAIT_OBJECT_0);
        std::string list = List();
        EXPECT_TRUE(list == firstBlock + secondBlock || list == secondBlock + firstBlock) << list;
    }

    std::wstring m_folder;
};

const char kSampleList[] =
    "[Adblock Plus 2.0]\r\n"
    "! Title: test list\r\n"
    "\r\n"
    "banner\r\n"
    "|http://ads.\r\n"
    "@@|http://ads.example.org/house/\r\n"
    "/ban+er[0-9]/\r\n"
    "@@/logo\\.png$/\r\n"
    "popunder$popup\r\n"
    "@@||cdn.example.net^$script\r\n"
    "\xC3\xA9tiquette|\r\n"
    "banner\r\n"
    "swf|";  // the last line has no line end

const char kSampleTexts[] =
    "*banner*\n"
    "http://ads.*\n"
    "%http://ads.example.org/house/*\n"
    "/ban+er[0-9]/\n"
    "%/logo\\.png$/\n"
    "*\xC3\xA9tiquette\n"
    "*banner*\n"
    "*swf\n";

}  // namespace

TEST_F(QuellanCtl, ImportConvertsLinesKeepsOrderAndDuplicatesAndListShowsThem)
{
    WriteFileBytes(File(L"list.txt"), kSampleList);
    CProgramResult import = Ctl({L"import", File(L"list.txt")});
    EXPECT_EQ(import.exitCode, 0u) << import.err;
    EXPECT_EQ(import.out, "imported 8 filters; skipped 4 lines (2 empty or comments, 2 with options, too long or holding a NUL "
              "byte)\n");
    EXPECT_EQ(List(), kSampleTexts);

    // Import appends after what is there. A line holding a NUL byte cannot
    // be stored as it reads (it would allow or block everything): skipped.
    using namespace std::string_literals;
    WriteFileBytes(File(L"more.txt"), "[Adblock]\nmore\n@@\0x\n\0evil\nad\0banner\n"s);
    CProgramResult more = Ctl({L"import", File(L"more.txt")});
    EXPECT_EQ(more.exitCode, 0u) << more.err;
    EXPECT_EQ(more.out, "imported 1 filters; skipped 3 lines (0 empty or comments, 3 with options, too long or "
                        "holding a NUL byte)\n");
    EXPECT_EQ(List(), std::string(kSampleTexts) + "*more*\n");
}

TEST_F(QuellanCtl, LineFeedAndCarriageReturnLineFeedFilesImportAlike)
{
    std::string lf = std::regex_replace(std::string(kSampleList), std::regex("\r\n"), "\n");
    WriteFileBytes(File(L"lf.txt"), lf);
    ASSERT_EQ(Ctl({L"import", File(L"lf.txt")}).exitCode, 0u);
    EXPECT_EQ(List(), kSampleTexts);
}

TEST_F(QuellanCtl, ExportWritesTheAdblockFileWithCarriageReturnLineFeeds)
{
    ASSERT_EQ(Ctl({L"add", L"*banner*", L"banner", L"%*/ads/allowed/*", L"/ban+er/", L"a?c\\*", L"**",
                   L"*a$b*", L"*@@*"})
                  .exitCode,
              0u);
    CProgramResult exported = Ctl({L"export", File(L"out.txt")});
    // "*a$b*" cannot be written: the export says so and fails.
    EXPECT_EQ(exported.exitCode, 1u);
    EXPECT_NE(exported.out.find("exported 7 filters\n"), std::string::npos) << exported.out;
    EXPECT_NE(exported.err.find("left out 1 filters"), std::string::npos) << exported.err;
    EXPECT_NE(exported.err.find("\n  *a$b*\n"), std::string::npos) << exported.err;
    std::string bytes = ReadFileBytes(File(L"out.txt"));
    std::regex expected(
        "\\[Adblock\\]\r\n"
        "! Exported from Quellan at [0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2}\r\n"
        "banner\r\n"
        "\\|banner\\|\r\n"
        "@@\\|\\*/ads/allowed/\\*\\|\r\n"
        "/ban\\+er/\r\n"
        "\\|a\\?c\\\\\r\n"
        "\\|\\*\\*\\|\r\n"
        "\\|\\*@@\\*\\|\r\n");
    EXPECT_TRUE(std::regex_match(bytes, expected)) << bytes;

    // Every filter written reads back as itself.
    ASSERT_EQ(Ctl({L"clear"}).exitCode, 0u);
    ASSERT_EQ(Ctl({L"import", File(L"out.txt")}).exitCode, 0u);
    EXPECT_EQ(List(), "*banner*\nbanner\n%*/ads/allowed/*\n/ban+er/\na?c\\*\n**\n*@@*\n");
}

TEST_F(QuellanCtl, CheckGivesTheVerdictOfTheRequestFilterAndExplainsIt)
{
    ASSERT_EQ(Ctl({L"add", L"*ads*", L"*/banner/*", L"%*/ads/allowed/*", L"/track(er)?\\.gif/"}).exitCode, 0u);
    std::vector<std::wstring> urls = {
        L"http://example.com/",
        L"http://example.com/ads/top.gif",
        L"http://example.com/ads/allowed/top.gif",
        L"http://example.com/%62anner/x.gif",  // decoded before matching
        L"http://example.com/tracker.gif",
        L"http://ADS.example.com/",
        L"http://example.com/%00/banner/x.gif",  // an escaped zero hides nothing
        L"http://example.com/x%00y/ads/",
        L"http://example.com/%00/clean.gif",
    };
    CProgramResult check = Ctl([&] {
        std::vector<std::wstring> args = {L"check"};
        args.insert(args.end(), urls.begin(), urls.end());
        return args;
    }());
    ASSERT_EQ(check.exitCode, 0u) << check.err;
    std::string expected;
    for (const auto& url : urls)
        expected += std::string(IsUrlAllowed(url.c_str()) ? "allowed " : "blocked ") + Utf8(url) + "\n";
    EXPECT_EQ(check.out, expected);
    EXPECT_EQ(check.out,
              "allowed http://example.com/\n"
              "blocked http://example.com/ads/top.gif\n"
              "allowed http://example.com/ads/allowed/top.gif\n"
              "blocked http://example.com/%62anner/x.gif\n"
              "blocked http://example.com/tracker.gif\n"
              "blocked http://ADS.example.com/\n"
              "blocked http://example.com/%00/banner/x.gif\n"
              "blocked http://example.com/x%00y/ads/\n"
              "allowed http://example.com/%00/clean.gif\n");

    CProgramResult explained = Ctl({L"check", L"--explain", L"http://example.com/ads/banner/x",
                                    L"http://example.com/ads/allowed/x", L"http://example.com/"});
    ASSERT_EQ(explained.exitCode, 0u) << explained.err;
    EXPECT_EQ(explained.out,
              "blocked http://example.com/ads/banner/x\n"
              "  blocked by *ads*\n"
              "  blocked by */banner/*\n"
              "allowed http://example.com/ads/allowed/x\n"
              "  allowed by %*/ads/allowed/*\n"
              "allowed http://example.com/\n");
}

// "-" reads the URLs from standard input, one per line; the answers are the
// same as for URLs on the command line.
TEST_F(QuellanCtl, CheckReadsUrlsFromStandardInput)
{
    ASSERT_EQ(Ctl({L"add", L"*ads*", L"%*/ads/allowed/*"}).exitCode, 0u);
    WriteFileBytes(File(L"urls.txt"), "\xEF\xBB\xBFhttp://example.com/ads/1.gif\r\n\nhttp://example.com/\n"
                                  "http://example.com/ads/allowed/2.gif\nhttp://example.com/ads/\xC3\xA9");
    CProgramResult check = CtlWithInput({L"check", L"-"}, File(L"urls.txt"));
    ASSERT_EQ(check.exitCode, 0u) << check.err;
    EXPECT_EQ(check.out,
              "blocked http://example.com/ads/1.gif\n"
              "allowed http://example.com/\n"
              "allowed http://example.com/ads/allowed/2.gif\n"
              "blocked http://example.com/ads/\xC3\xA9\n");
    WriteFileBytes(File(L"empty.txt"), "\r\n");
    CProgramResult empty = CtlWithInput({L"check", L"-"}, File(L"empty.txt"));
    EXPECT_EQ(empty.exitCode, 2u);
    EXPECT_EQ(empty.out.find("QuellanCtl: check needs at least one URL"), 0u) << empty.out;
}

TEST_F(QuellanCtl, CheckTakesTheTypeAndPageOfEachRequest)
{
    ASSERT_EQ(Ctl({L"add", L"*ads*"}).exitCode, 0u);
    CProgramResult options = Ctl({L"check", L"--type", L"script", L"--explain", L"--page", L"http://news.example/",
                                  L"http://example.com/ads/a.js", L"http://example.com/b.js"});
    EXPECT_EQ(options.exitCode, 0u) << options.err;
    EXPECT_EQ(options.out, "blocked http://example.com/ads/a.js\n  blocked by *ads*\nallowed http://example.com/b.js\n");
    for (auto args : std::vector<std::vector<std::wstring>>{{L"check", L"--type", L"scripts", L"http://a/"},
                                                            {L"check", L"--page"},
                                                            {L"check", L"--frame", L"http://a/"}})
        EXPECT_EQ(Ctl(args).exitCode, 2u) << Utf8(args[1]);

    WriteFileBytes(File(L"requests.txt"), "http://example.com/ads/1.gif image http://news.example/\n"
                                          "  http://example.com/2.css\tstylesheet\r\n"
                                          "http://example.com/ads/3 xhr\n"
                                          "http://example.com/4 bogus\n"
                                          "http://example.com/5 image http://p/ extra\n");
    CProgramResult lines = CtlWithInput({L"check", L"-"}, File(L"requests.txt"));
    EXPECT_EQ(lines.exitCode, 1u);
    EXPECT_NE(lines.out.find("blocked http://example.com/ads/1.gif\n"
                             "allowed http://example.com/2.css\n"
                             "blocked http://example.com/ads/3\n"),
              std::string::npos)
        << lines.out;
    EXPECT_NE(lines.out.find("cannot judge http://example.com/4: unknown type \"bogus\""), std::string::npos);
    EXPECT_NE(lines.out.find("cannot judge http://example.com/5 image http://p/ extra"), std::string::npos);
}

TEST_F(QuellanCtl, CheckNamesAUrlItCannotJudge)
{
    std::wstring overlong = L"http://example.com/" + std::wstring(2100, L'a');
    CProgramResult check = Ctl({L"check", overlong, L"http://example.com/"});
    EXPECT_NE(check.exitCode, 0u);
    EXPECT_EQ(check.out, "allowed http://example.com/\n");
    EXPECT_NE(check.err.find("cannot judge " + Utf8(overlong.substr(0, 200)) + "... (2119 characters): "),
              std::string::npos)
        << check.err;

    // From standard input: a line that holds a NUL is refused, not judged up
    // to the NUL; a line of megabytes is named in a short message.
    using namespace std::string_literals;
    ASSERT_EQ(Ctl({L"add", L"%*allowed*"}).exitCode, 0u);
    WriteFileBytes(File(L"urls.txt"), "http://example.com/allowed\0/ads\n"s + "http://example.com/" +
                                          std::string(4 << 20, 'b') + "\nhttp://example.com/x\n");
    CProgramResult hostile = CtlWithInput({L"check", L"-"}, File(L"urls.txt"));
    EXPECT_EQ(hostile.exitCode, 1u);
    EXPECT_LT(hostile.out.size(), 1000u);
    EXPECT_NE(hostile.out.find("cannot judge http://example.com/allowed\\x00/ads: the line holds a NUL character\n"),
              std::string::npos)
        << hostile.out;
    EXPECT_NE(hostile.out.find("bbb... (4194323 characters): "), std::string::npos) << hostile.out.substr(0, 1000);
    EXPECT_NE(hostile.out.find("allowed http://example.com/x\n"), std::string::npos) << hostile.out.substr(0, 1000);
    EXPECT_EQ(hostile.out.find("allowed http://example.com/allowed"), std::string::npos);
}

TEST_F(QuellanCtl, AddRefusesInvalidFiltersWithTheEditBoxMessagesAndKeepsTheValidOnes)
{
    CProgramResult add = Ctl({L"add", L"good*", L"a\\b", L"/(/", L"abc\\", L"%/ok/"});
    EXPECT_NE(add.exitCode, 0u);
    EXPECT_NE(add.err.find("Invalid wildcard expression; the expression contains an invalid escape sequence."),
              std::string::npos)
        << add.err;
    EXPECT_NE(add.err.find("Invalid regular expression; the expression contains an unmatched '(' or ')'."),
              std::string::npos)
        << add.err;
    EXPECT_EQ(List(), "good*\n%/ok/\n");

    CProgramResult lineFeed = Ctl({L"add", L"two\nlines"});
    EXPECT_NE(lineFeed.exitCode, 0u);
    EXPECT_NE(lineFeed.err.find("Invalid filter syntax."), std::string::npos) << lineFeed.err;
    EXPECT_EQ(List(), "good*\n%/ok/\n");
}

TEST_F(QuellanCtl, BadFilesAndCommandsGiveAMessageAndChangeNothing)
{
    ASSERT_EQ(Ctl({L"add", L"*keep*"}).exitCode, 0u);

    CProgramResult missing = Ctl({L"import", File(L"missing.txt")});
    EXPECT_NE(missing.exitCode, 0u);
    EXPECT_FALSE(missing.err.empty());

    WriteFileBytes(File(L"noheader.txt"), "banner\n[Adblock]\n");
    CProgramResult noHeader = Ctl({L"import", File(L"noheader.txt")});
    EXPECT_NE(noHeader.exitCode, 0u);
    EXPECT_NE(noHeader.err.find("not an Adblock filter list"), std::string::npos) << noHeader.err;

    WriteFileBytes(File(L"empty.txt"), "");
    EXPECT_NE(Ctl({L"import", File(L"empty.txt")}).exitCode, 0u);

    // A file another program holds without sharing cannot be read.
    WriteFileBytes(File(L"locked.txt"), "[Adblock]\nlocked\n");
    {
        CFileHandle lock(CreateFileW(File(L"locked.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock);
        CProgramResult locked = Ctl({L"import", File(L"locked.txt")});
        EXPECT_NE(locked.exitCode, 0u);
        EXPECT_FALSE(locked.err.empty());
    }

    CProgramResult unknown = Ctl({L"frobnicate"});
    EXPECT_NE(unknown.exitCode, 0u);
    EXPECT_NE(unknown.err.find("unknown command \"frobnicate\""), std::string::npos) << unknown.err;
    EXPECT_NE(Ctl({}).exitCode, 0u);
    EXPECT_NE(Ctl({L"import"}).exitCode, 0u);

    CProgramResult exportToFolder = Ctl({L"export", m_folder});
    EXPECT_NE(exportToFolder.exitCode, 0u);
    EXPECT_FALSE(exportToFolder.err.empty());

    EXPECT_EQ(List(), "*keep*\n");

    CProgramResult help = Ctl({L"--help"});
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_NE(help.out.find("Usage: QuellanCtl"), std::string::npos);
}

// Another process that keeps the list's lock makes a writer give up after
// its bound with a message, having changed nothing.
TEST_F(QuellanCtl, AddGivesUpWithAMessageWhileAnotherProcessKeepsTheListLocked)
{
    ASSERT_EQ(Ctl({L"add", L"*kept*"}).exitCode, 0u);
    CHandle lock(CreateMutexW(GetSharedSecurityAttributes(), FALSE,
                              MakeSharedObjectName(kFilterListWriteLockName).c_str()));
    ASSERT_EQ(WaitForSingleObject(lock.Get(), 0), WAIT_OBJECT_0);
    const DWORD start = GetTickCount();
    CProgramResult add = Ctl({L"add", L"*new*"});
    ReleaseMutex(lock.Get());
    EXPECT_EQ(add.exitCode, 1u);
    EXPECT_NE(add.err.find("another process keeps the store locked"), std::string::npos) << add.err;
    EXPECT_LT(GetTickCount() - start, kWriterWaitMs + 20000);
    EXPECT_EQ(List(), "*kept*\n");
    EXPECT_EQ(Ctl({L"add", L"*new*"}).exitCode, 0u);
}

TEST_F(QuellanCtl, TwoAddProcessesAtOnceBothLand)
{
    ExpectAddsAtOnceBothLand(CtlPath(), CtlPath());
}

// On 64-bit Windows a user's 32-bit and 64-bit browsers run side by side and
// share one store: the two builds must agree on its records, its locks and
// the verdicts.
TEST_F(QuellanCtl, BothArchitecturesShareOneStoreAndAgree)
{
    std::optional<std::wstring> otherDir = TryOtherShippedBinaryDir();
    if (!otherDir)
        GTEST_SKIP() << "this Wine runs programs of one architecture only";
    std::wstring other = *otherDir + L"\\ctl\\QuellanCtl.exe";

    ExpectAddsAtOnceBothLand(CtlPath(), other);
    ASSERT_EQ(RunProgram(other, {L"clear"}).exitCode, 0u);
    EXPECT_EQ(List(), "");

    ASSERT_EQ(RunProgram(other, {L"add", L"*ads*", L"%*/ads/allowed/*", L"/track(er)?\\.gif/", L"*\u00e9t\u00e9*"})
                  .exitCode,
              0u);
    EXPECT_EQ(List(), "*ads*\n%*/ads/allowed/*\n/track(er)?\\.gif/\n*\xC3\xA9t\xC3\xA9*\n");
    std::vector<std::wstring> check = {L"check",
                                       L"--explain",
                                       L"http://example.com/ads/x",
                                       L"http://example.com/ads/allowed/x",
                                       L"http://example.com/tracker.gif",
                                       L"http://example.com/%C3%A9t%C3%A9",
                                       L"http://example.com/"};
    CProgramResult mine = Ctl(check);
    CProgramResult theirs = RunProgram(other, check);
    EXPECT_EQ(mine.exitCode, 0u) << mine.err;
    EXPECT_EQ(theirs.exitCode, 0u) << theirs.err;
    EXPECT_EQ(mine.out, theirs.out);
    EXPECT_NE(mine.out.find("blocked http://example.com/ads/x\n"), std::string::npos) << mine.out;
    EXPECT_NE(mine.out.find("allowed http://example.com/ads/allowed/x\n"), std::string::npos) << mine.out;
    for (size_t i = 2; i < check.size(); ++i)
        EXPECT_NE(mine.out.find((IsUrlAllowed(check[i].c_str()) ? "allowed " : "blocked ") + Utf8(check[i]) + "\n"),
                  std::string::npos)
            << Utf8(check[i]) << "\n" << mine.out;
}

TEST_F(QuellanCtl, OptionShowsAndSetsWhetherTheBrowserHidesBlockedElementsAndFiltersHttps)
{
    ASSERT_EQ(Ctl({L"option", L"remove-blocked-items", L"off"}).exitCode, 0u);
    EXPECT_EQ(Ctl({L"option"}).out, "remove-blocked-items off\nfilter-https on\n");
    ASSERT_EQ(Ctl({L"option", L"remove-blocked-items", L"on"}).exitCode, 0u);
    ASSERT_EQ(Ctl({L"option", L"filter-https", L"off"}).exitCode, 0u);
    EXPECT_EQ(Ctl({L"option"}).out, "remove-blocked-items on\nfilter-https off\n");
    for (auto args : std::vector<std::vector<std::wstring>>{{L"option", L"remove-blocked-items"},
                                                            {L"option", L"remove-blocked-items", L"yes"},
                                                            {L"option", L"filter-https", L"1"},
                                                            {L"option", L"x", L"on"}})
        EXPECT_EQ(Ctl(args).exitCode, 2u);
    EXPECT_EQ(Ctl({L"option"}).out, "remove-blocked-items on\nfilter-https off\n");
    ASSERT_EQ(Ctl({L"option", L"filter-https", L"on"}).exitCode, 0u);
    ASSERT_EQ(Ctl({L"option", L"remove-blocked-items", L"off"}).exitCode, 0u);
    EXPECT_EQ(Ctl({L"option"}).out, "remove-blocked-items off\nfilter-https on\n");
}

TEST_F(QuellanCtl, ListsAreAddedShownExplainedAndRemoved)
{
    Ctl({L"lists", L"remove", L"Easy Sample"});  // left by an earlier run that failed
    WriteFileBytes(File(L"easy.txt"), "[Adblock Plus 2.0]\n! Title: Easy Sample\n||ads.example^$third-party\n"
                                      "/banner/*$image\n@@||ads.example/ok/\nexample.com##.ad\n||x.example^$csp=a\n"
                                      "||y.example^$popunder\n||z.example^$csp=b\n");
    CProgramResult add = Ctl({L"lists", L"add", File(L"easy.txt")});
    EXPECT_EQ(add.exitCode, 0u) << add.err;
    EXPECT_EQ(add.out, "added \"Easy Sample\": 3 network filters, 1 cosmetic lines, 3 skipped (csp 2, popunder 1)\n");
    EXPECT_EQ(Ctl({L"lists", L"add", File(L"easy.txt")}).exitCode, 1u) << "the name is taken";
    CProgramResult lists = Ctl({L"lists"});
    const std::string shown = "Easy Sample\t" + Utf8(File(L"easy.txt")) +
                              "\t3 network filters, 1 cosmetic lines, 3 skipped (csp 2, popunder 1)\t";
    EXPECT_EQ(lists.out.substr(0, shown.size()), shown);
    EXPECT_TRUE(std::regex_match(lists.out.substr(std::min(shown.size(), lists.out.size())),
                                 std::regex("updated 20\\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d UTC\tnext check 20[-0-9: ]+UTC\tok\n")))
        << lists.out;

    // The user's list first; the lists decide what it leaves open.
    ASSERT_EQ(Ctl({L"add", L"%*/ads-ok/*", L"*/mine/*"}).exitCode, 0u);
    CProgramResult check = Ctl({L"check", L"--explain", L"--page", L"http://news.example/", L"http://ads.example/a",
                                L"http://ads.example/ok/1", L"http://ads.example/ads-ok/1", L"http://a.example/mine/1"});
    EXPECT_EQ(check.exitCode, 0u) << check.err;
    EXPECT_EQ(check.out, "blocked http://ads.example/a\n"
                         "  blocked by Easy Sample, line 3: ||ads.example^$third-party\n"
                         "allowed http://ads.example/ok/1\n"
                         "  allowed by Easy Sample, line 5: @@||ads.example/ok/\n"
                         "allowed http://ads.example/ads-ok/1\n"
                         "  allowed by %*/ads-ok/*\n"
                         "blocked http://a.example/mine/1\n"
                         "  blocked by */mine/*\n");
    EXPECT_EQ(Ctl({L"check", L"--page", L"http://ads.example/", L"http://ads.example/a"}).out,
              "allowed http://ads.example/a\n");
    EXPECT_EQ(Ctl({L"check", L"--type", L"script", L"http://b.example/banner/1"}).out,
              "allowed http://b.example/banner/1\n");

    EXPECT_EQ(Ctl({L"lists", L"off", L"easy sample"}).exitCode, 0u);
    EXPECT_EQ(Ctl({L"check", L"--page", L"http://news.example/", L"http://ads.example/a"}).out,
              "allowed http://ads.example/a\n");
    EXPECT_EQ(Ctl({L"lists", L"remove", L"Easy Sample"}).exitCode, 0u);
    EXPECT_EQ(Ctl({L"lists"}).out, "");
    CProgramResult missing = Ctl({L"lists", L"remove", L"Easy Sample"});
    EXPECT_EQ(missing.exitCode, 1u);
    EXPECT_NE(missing.err.find("no list is named \"Easy Sample\""), std::string::npos) << missing.err;
    EXPECT_EQ(Ctl({L"lists", L"remove"}).exitCode, 2u);
    EXPECT_EQ(Ctl({L"lists", L"add", File(L"absent.txt")}).exitCode, 1u);
}

// An allowed site: nothing on its pages is blocked, by the lists or the
// user's own filters, until it is removed again; other sites are untouched.
TEST_F(QuellanCtl, AllowSiteAllowsEveryRequestOfItsPagesUntilRemoved)
{
    Ctl({L"lists", L"remove", L"Allowed sites"});  // left by an earlier run that failed
    Ctl({L"lists", L"remove", L"Site Sample"});
    WriteFileBytes(File(L"site.txt"), "[Adblock Plus 2.0]\n! Title: Site Sample\n||ads.example^\n");
    ASSERT_EQ(Ctl({L"lists", L"add", File(L"site.txt")}).exitCode, 0u);
    ASSERT_EQ(Ctl({L"add", L"*/mine/*"}).exitCode, 0u);
    auto check = [&](const wchar_t* page) {
        return Ctl({L"check", L"--page", page, L"http://ads.example/a", L"http://a.example/mine/1"}).out;
    };
    const std::string blocked = "blocked http://ads.example/a\nblocked http://a.example/mine/1\n";
    const std::string allowed = "allowed http://ads.example/a\nallowed http://a.example/mine/1\n";
    ASSERT_EQ(check(L"http://www.shop.example/p"), blocked);

    CProgramResult allow = Ctl({L"allow-site", L"HTTP://Shop.Example/any"});
    EXPECT_EQ(allow.exitCode, 0u) << allow.err;
    EXPECT_EQ(allow.out, "allowed shop.example\n");
    EXPECT_EQ(Ctl({L"allow-site", L"shop.example"}).exitCode, 0u);
    EXPECT_EQ(Ctl({L"allowed-sites"}).out, "shop.example\n");
    EXPECT_EQ(check(L"http://www.shop.example/p"), allowed);
    EXPECT_EQ(check(L"http://news.example/"), blocked);
    EXPECT_EQ(Ctl({L"check", L"--explain", L"--page", L"http://shop.example/", L"http://ads.example/a"}).out,
              "allowed http://ads.example/a\n  allowed by Allowed sites, line 2: @@||shop.example^$document\n");

    EXPECT_EQ(Ctl({L"allow-site", L"--remove", L"shop.example"}).out, "removed shop.example\n");
    EXPECT_EQ(check(L"http://www.shop.example/p"), blocked);
    EXPECT_EQ(Ctl({L"allow-site", L"--remove", L"shop.example"}).exitCode, 1u);
    EXPECT_EQ(Ctl({L"allow-site", L"bad host"}).exitCode, 2u);
    EXPECT_EQ(Ctl({L"allow-site"}).exitCode, 2u);
    Ctl({L"lists", L"remove", L"Allowed sites"});
    Ctl({L"lists", L"remove", L"Site Sample"});
}

TEST_F(QuellanCtl, ListsComeFromAddressesAndAreUpdatedFromThem)
{
    Ctl({L"lists", L"remove", L"Served"});  // left by an earlier run that failed
    CHttpServer server;
    CHttpServer::CResponse response;
    response.body = "[Adblock Plus 2.0]\n! Title: Served\n||ads.example^\n";
    response.etag = "\"1\"";
    server.Serve("/list.txt", response);
    const std::wstring url = server.Url(L"/list.txt");
    CProgramResult add = Ctl({L"lists", L"add", url});
    EXPECT_EQ(add.exitCode, 0u) << add.err;
    EXPECT_EQ(add.out, "added \"Served\": 1 network filters, 0 cosmetic lines, 0 skipped\n");
    EXPECT_EQ(Ctl({L"check", L"http://ads.example/a"}).out, "blocked http://ads.example/a\n");

    EXPECT_NE(Ctl({L"lists", L"update", L"--if-due"}).out.find("not due \"Served\" (next check 20"), std::string::npos);
    EXPECT_EQ(Ctl({L"lists", L"update", L"served"}).out, "not modified \"Served\"\n");
    response.body = "[Adblock Plus 2.0]\n! Title: Served\n||ads.example^\n||more.example^\nexample.com##.ad\n";
    response.etag = "\"2\"";
    server.Serve("/list.txt", response);
    CProgramResult update = Ctl({L"lists", L"update", L"Served"});
    EXPECT_EQ(update.exitCode, 0u) << update.err;
    EXPECT_EQ(update.out, "updated \"Served\": 2 network filters, 1 cosmetic lines, 0 skipped\n");
    EXPECT_EQ(Ctl({L"check", L"http://more.example/a"}).out, "blocked http://more.example/a\n");

    CHttpServer::CResponse gone;
    gone.status = 404;
    server.Serve("/list.txt", gone);
    CProgramResult failed = Ctl({L"lists", L"update", L"Served"});
    EXPECT_EQ(failed.exitCode, 1u);
    EXPECT_EQ(failed.err, "QuellanCtl: list \"Served\" not updated: the server answered 404; it stays as it was\n")
        << failed.err;
    EXPECT_NE(Ctl({L"lists"}).out.find("\tthe server answered 404\n"), std::string::npos);
    EXPECT_EQ(Ctl({L"check", L"http://more.example/a"}).out, "blocked http://more.example/a\n");

    CProgramResult refused = Ctl({L"lists", L"add", server.Url(L"/absent.txt")});
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_NE(refused.err.find("the server answered 404; nothing was added"), std::string::npos) << refused.err;
    EXPECT_EQ(Ctl({L"lists", L"update", L"Served", L"Other"}).exitCode, 2u);
    EXPECT_EQ(Ctl({L"lists", L"update", L"Absent"}).exitCode, 1u);
    EXPECT_EQ(Ctl({L"lists", L"remove", L"Served"}).exitCode, 0u);
}
