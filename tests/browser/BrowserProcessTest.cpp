// Real browser processes: StandInBrowser.exe (tools/standin) plays the
// browser with the shipped quellan.dll registered in the test prefix, against
// a server on 127.0.0.1 in the test process. The menu entries are read back
// from the registry.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "browser/BHO.h"
#include "com/Handle.h"
#include "tests/broker/BrokerTestSupport.h"
#include "tests/module/ShippedLibrary.h"
#include "tests/storage/UserStore.h"
#include "tests/support/Files.h"
#include "tests/support/HttpServer.h"
#include "tests/support/Process.h"
#include "tests/support/Roles.h"
#include "tests/support/TestEnvironment.h"

namespace {

constexpr DWORD kAnswerTimeoutMs = 120000;
constexpr wchar_t kMarker[] = L"QuellanTestMarker";

// The sample list of tools/demo/sample-list.txt, in the internal syntax.
const std::vector<std::wstring> kSampleFilters = {
    L"*/banner/*", L"*-ad-300x250.*", L"*.swf", L"/\\/pixel\\.(gif|png)\\?/", L"*&ad_type=*"};

std::wstring BrowserProgram()
{
    return ShippedBinaryDir() + L"\\tools\\standin\\StandInBrowser.exe";
}

std::wstring SamplePageFolder()
{
    return SourceDir() + L"\\tools\\demo\\page";
}

// The Tools-menu entry: our extension key, with our MenuText.
bool ToolsMenuEntryExists()
{
    std::vector<std::wstring> values = KeyValues(HKEY_CURRENT_USER, MenuExtensionKey());
    return std::find(values.begin(), values.end(), L"MenuText=Quellan Settings") != values.end();
}

enum class Menu { Absent, Installed, Partial };

Menu MenuEntries()
{
    bool tools = ToolsMenuEntryExists();
    bool context = KeyExists(HKEY_CURRENT_USER, ContextMenuKey());
    return tools && context ? Menu::Installed : !tools && !context ? Menu::Absent : Menu::Partial;
}

void RemoveMenuEntries()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, ContextMenuKey().c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, MenuExtensionKey().c_str());
}

// A value under the context-menu key that an installation would wipe (the
// key is re-created on every installation): set after one installation, it
// tells whether another happened since.
void SetMarker()
{
    CRegKey key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, ContextMenuKey().c_str(), 0, KEY_SET_VALUE, key.Put()));
    DWORD one = 1;
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.Get(), kMarker, 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), sizeof one));
}

bool MarkerKept()
{
    DWORD value = 0;
    DWORD size = sizeof value;
    return RegGetValueW(HKEY_CURRENT_USER, ContextMenuKey().c_str(), kMarker, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
           ERROR_SUCCESS;
}

// StandInBrowser.exe --script: a browser process driven line by line.
class CScriptedBrowser
{
public:
    CScriptedBrowser()
    {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE childIn = nullptr, childOut = nullptr, ourIn = nullptr, ourOut = nullptr;
        if (!CreatePipe(&childIn, &ourOut, &inherit, 0) || !CreatePipe(&ourIn, &childOut, &inherit, 0)) {
            ADD_FAILURE() << "cannot create pipes";
            return;
        }
        CHandle childInOwner(childIn), childOutOwner(childOut);
        m_in.Reset(ourOut);
        m_out.Reset(ourIn);
        SetHandleInformation(ourOut, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(ourIn, HANDLE_FLAG_INHERIT, 0);
        std::wstring commandLine = QuoteArgument(BrowserProgram()) + L" --script";
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childIn;
        startup.hStdOutput = childOut;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(BrowserProgram().c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process)) {
            ADD_FAILURE() << "cannot start the stand-in browser: error " << GetLastError();
            return;
        }
        CloseHandle(process.hThread);
        m_process.Reset(process.hProcess);
    }

    ~CScriptedBrowser()
    {
        if (m_process && WaitForSingleObject(m_process.Get(), 0) == WAIT_TIMEOUT) {
            TerminateProcess(m_process.Get(), 255);
            WaitForSingleObject(m_process.Get(), 5000);
        }
    }

    // Sends one command and returns the answer line.
    std::string Do(const std::string& command)
    {
        std::string line = command + "\n";
        DWORD written = 0;
        if (!m_in || !WriteFile(m_in.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
            return "(cannot send)";
        return ReadLine();
    }

    int Open(const std::wstring& url = std::wstring())
    {
        std::string answer = Do(url.empty() ? "open" : "open " + std::string(url.begin(), url.end()));
        EXPECT_EQ(answer.rfind("opened ", 0), 0u) << answer;
        return std::atoi(answer.c_str() + 7);
    }
    // Kernel and user time of the process so far, in 100 ns units.
    ULONGLONG CpuTime() const
    {
        FILETIME created, exited, kernel, user;
        if (!GetProcessTimes(m_process.Get(), &created, &exited, &kernel, &user))
            return 0;
        auto value = [](const FILETIME& time) { return ULONGLONG{time.dwHighDateTime} << 32 | time.dwLowDateTime; };
        return value(kernel) + value(user);
    }
    void Close(int window) { EXPECT_EQ(Do("close " + std::to_string(window)), "closed " + std::to_string(window)); }
    // Closes every window and ends the process.
    void Quit()
    {
        EXPECT_EQ(Do("quit"), "bye");
        ASSERT_EQ(WaitForSingleObject(m_process.Get(), kAnswerTimeoutMs), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(m_process.Get(), &code);
        EXPECT_EQ(code, 0u);
    }

private:
    std::string ReadLine()
    {
        DWORD start = GetTickCount();
        for (;;) {
            size_t end = m_buffer.find('\n');
            if (end != std::string::npos) {
                std::string line = m_buffer.substr(0, end);
                m_buffer.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return line;
            }
            DWORD available = 0;
            if (!PeekNamedPipe(m_out.Get(), nullptr, 0, nullptr, &available, nullptr))
                return "(process ended)";
            if (available == 0) {
                if (GetTickCount() - start > kAnswerTimeoutMs)
                    return "(no answer)";
                Sleep(10);
                continue;
            }
            char buffer[4096];
            DWORD read = 0;
            if (!ReadFile(m_out.Get(), buffer, sizeof buffer, &read, nullptr))
                return "(process ended)";
            m_buffer.append(buffer, read);
        }
    }

    CHandle m_process;
    CHandle m_in;
    CHandle m_out;
    std::string m_buffer;
};

// The report of one run, by its first word.
struct CReport
{
    std::map<std::string, std::string> requests;  // path on the server -> "loaded" / "REFUSED" / "failed"
    std::set<std::string> hidden;                 // "img#banner"
    std::set<std::string> backgrounds;            // "div#sponsor"
    bool injected = false;
    bool helperSited = false;
};

CReport ParseReport(const std::string& output, const std::string& serverRoot)
{
    CReport report;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream words(line);
        std::string first, second, third, fourth;
        words >> first >> second >> third >> fourth;
        if (first == "request" && fourth.rfind(serverRoot, 0) == 0)
            report.requests[fourth.substr(serverRoot.size())] = second;
        else if (first == "hidden")
            report.hidden.insert(second);
        else if (first == "background")
            report.backgrounds.insert(second);
        else if (first == "injected")
            report.injected = second == "yes";
        else if (first == "helper")
            report.helperSited = report.helperSited || line.find("created and sited") != std::string::npos;
    }
    return report;
}

size_t CountOf(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

class BrowserProcesses : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        RemoveMenuEntries();
        m_registered = m_library.RegisterServer();
        ASSERT_EQ(S_OK, m_registered);
        StoreFilters(kSampleFilters);
        StoreRemoveBlockedItems(true);
        m_server.ServeFolder(SamplePageFolder());
        std::wstring root = m_server.Url(L"/");
        m_root.assign(root.begin(), root.end());
    }
    void TearDown() override
    {
        if (SUCCEEDED(m_registered)) {
            EXPECT_EQ(S_OK, m_library.UnregisterServer());
        }
        RemoveMenuEntries();
        StoreRemoveBlockedItems(false);
        CoUninitialize();
    }

    std::wstring PageUrl() const { return m_server.Url(L"/index.html"); }
    size_t ServerRequests(const std::string& path) const { return m_server.CountRequests("GET " + path + " "); }

    CShippedLibrary m_library;
    HRESULT m_registered = E_FAIL;
    CUserStoreReset m_reset;
    CHttpServer m_server;
    std::string m_root;  // "http://127.0.0.1:PORT/"
};

const std::vector<std::string> kAllowedPaths = {"index.html",  "js/site.js",       "img/logo.png",
                                                 "img/sky.png", "frames/news.html", "media/promo.swf?v=2"};
const std::vector<std::string> kRefusedPaths = {"js/ads.js?zone=1&ad_type=rotator", "img/banner/top.png",
                                                 "img/banner/sponsor-bg.png",       "img/shoe-ad-300x250.png",
                                                 "stats/pixel.gif?uid=123",         "frames/banner/offer.html",
                                                 "media/intro.swf",                 "img/banner/side.png"};

}  // namespace

TEST_F(BrowserProcesses, MenuEntriesComeWithTheFirstWindowAndGoWithTheLastWindowOfAnyProcess)
{
    ASSERT_EQ(MenuEntries(), Menu::Absent);
    CScriptedBrowser first;
    int firstWindow = first.Open(PageUrl());
    ASSERT_EQ(MenuEntries(), Menu::Installed);
    SetMarker();
    int secondWindow = first.Open();
    {
        CScriptedBrowser second;
        second.Open(PageUrl());
        EXPECT_TRUE(MarkerKept()) << "only the first browser process installs";
        second.Quit();
    }
    EXPECT_EQ(MenuEntries(), Menu::Installed) << "a process that was not the last removes nothing";
    EXPECT_TRUE(MarkerKept());
    first.Close(firstWindow);
    EXPECT_EQ(MenuEntries(), Menu::Installed) << "a window that was not the last removes nothing";
    first.Close(secondWindow);
    EXPECT_EQ(MenuEntries(), Menu::Absent) << "the last window of the last process removes them";

    // Each browser process registered its own request filter: both loaded
    // the page, and nothing refused reached the server.
    EXPECT_EQ(ServerRequests("/index.html"), 2u);
    for (const std::string& path : kRefusedPaths)
        EXPECT_EQ(ServerRequests("/" + path), 0u) << path;

    // The process lingers without windows: the next process to open one
    // must install the entries again, and the lingering one, opening a
    // window again, counts as a second process.
    {
        CScriptedBrowser second;
        second.Open();
        EXPECT_EQ(MenuEntries(), Menu::Installed) << "a window without the menu entries";
        SetMarker();
        int thirdWindow = first.Open();
        second.Quit();
        EXPECT_TRUE(MarkerKept());
        first.Close(thirdWindow);
        EXPECT_EQ(MenuEntries(), Menu::Absent);
    }
    first.Quit();
    EXPECT_EQ(MenuEntries(), Menu::Absent);
}

TEST_F(BrowserProcesses, StandInBrowserShowsTheSamplePageWithoutItsAds)
{
    std::wstring saved = MakeScratchDir() + L"\\after.html";
    CProgramResult run = RunProgram(BrowserProgram(), {L"--save", saved, PageUrl()}, kAnswerTimeoutMs);
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
    CReport report = ParseReport(run.out, m_root);
    EXPECT_TRUE(report.helperSited) << run.out;
    EXPECT_TRUE(report.injected) << run.out;
    for (const std::string& path : kAllowedPaths) {
        EXPECT_EQ(report.requests[path], "loaded") << path << "\n" << run.out;
        EXPECT_EQ(ServerRequests("/" + path), 1u) << path;
    }
    for (const std::string& path : kRefusedPaths) {
        EXPECT_EQ(report.requests[path], "REFUSED") << path << "\n" << run.out;
        EXPECT_EQ(ServerRequests("/" + path), 0u) << path;
    }
    EXPECT_EQ(report.requests.size(), kAllowedPaths.size() + kRefusedPaths.size()) << run.out;
    // The page's and its frame's blocked elements are hidden (the frame's
    // image too: no broken-image box); scripts are left to the request
    // filter.
    EXPECT_EQ(report.hidden, (std::set<std::string>{"img#banner", "img#shoes", "img#pixel", "iframe#offer",
                                                    "object#intro", "img#sidead"}))
        << run.out;
    EXPECT_EQ(report.backgrounds, std::set<std::string>{"div#sponsor"}) << run.out;

    std::string page = ReadFileBytes(saved);
    EXPECT_EQ(CountOf(page, "display: none;"), 5u) << page;
    EXPECT_NE(page.find("<img id=\"banner\" src=\"\""), std::string::npos) << page;
    EXPECT_NE(page.find("<img id=\"logo\" src=\"img/logo.png\""), std::string::npos) << page;
    EXPECT_NE(page.find("background-image: none;"), std::string::npos) << page;

    // With the option off the same requests are refused, and no element is
    // touched: the user sees empty images.
    StoreRemoveBlockedItems(false);
    run = RunProgram(BrowserProgram(), {L"--save", saved, PageUrl()}, kAnswerTimeoutMs);
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
    report = ParseReport(run.out, m_root);
    EXPECT_TRUE(report.injected);
    for (const std::string& path : kRefusedPaths)
        EXPECT_EQ(report.requests[path], "REFUSED") << path;
    EXPECT_TRUE(report.hidden.empty()) << run.out;
    EXPECT_TRUE(report.backgrounds.empty()) << run.out;
    page = ReadFileBytes(saved);
    EXPECT_EQ(CountOf(page, "display: none;"), 0u) << page;
    EXPECT_NE(page.find("<img id=\"banner\" src=\"\""), std::string::npos) << page;
}

// In a browser process, the shipped helper cancels a new window the lists
// block as a pop-up: the user's click on a "_blank" link to it opens
// nothing, while another link's window opens.
TEST_F(BrowserProcesses, ALinkToAPopupTheListsBlockOpensNoWindow)
{
    StoreAdblockList("! Title: Pop-ups\n||popads.test^$popup\n");
    std::wstring folder = MakeScratchDir();
    WriteFileBytes(folder + L"\\links.html",
                   "<html><head></head><body><a target=\"_blank\" href=\"http://popads.test/offer\">a</a>"
                   "<a target=\"_blank\" href=\"news.html\">b</a></body></html>");
    CHttpServer server;
    server.ServeFolder(folder);
    std::wstring root = server.Url(L"/");
    CProgramResult run = RunProgram(BrowserProgram(), {server.Url(L"/links.html")}, kAnswerTimeoutMs);
    ASSERT_EQ(run.exitCode, 0u) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find("new window CANCELLED http://popads.test/offer")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("new window opened    " + std::string(root.begin(), root.end()) +
                                              "news.html"))
        << run.out;
}

// Windows on threads of their own, as the browser's tabs, load the page at
// the same time: every helper, request filter and timer works beside the
// others, and only the last window to close removes the menu entries.
TEST_F(BrowserProcesses, WindowsOnThreadsOfTheirOwnWorkAtTheSameTime)
{
    CScriptedBrowser browser;
    const std::wstring url = PageUrl();
    const std::string page(url.begin(), url.end());
    ASSERT_EQ(browser.Do("openmany 4 " + page), "opened 1 2 3 4");
    EXPECT_EQ(MenuEntries(), Menu::Installed);
    EXPECT_GE(ServerRequests("/index.html"), 1u);
    for (const std::string& path : kRefusedPaths)
        EXPECT_EQ(ServerRequests("/" + path), 0u) << path;
    ASSERT_EQ(browser.Do("openmany 3 " + page), "opened 5 6 7");
    for (int window : {2, 7, 1, 5, 3, 6})
        browser.Close(window);
    EXPECT_EQ(MenuEntries(), Menu::Installed);
    browser.Close(4);
    EXPECT_EQ(MenuEntries(), Menu::Absent);
    for (const std::string& path : kRefusedPaths)
        EXPECT_EQ(ServerRequests("/" + path), 0u) << path;
    browser.Quit();
}

// A window showing a page that is not HTML (here text) has nothing more to
// wait for once the page has loaded: the figure is the process's CPU time
// while it shows the page and does nothing else.
TEST_F(BrowserProcesses, AWindowShowingTextIsIdle)
{
    m_server.Serve("/notes.txt", std::string(4000, 'x'), "text/plain");
    CScriptedBrowser browser;
    browser.Open(m_server.Url(L"/notes.txt"));
    Sleep(1000);
    const ULONGLONG before = browser.CpuTime();
    Sleep(5000);
    std::printf("CPU time of a browser process idle for 5 s on a text page: %.1f ms\n",
                static_cast<double>(browser.CpuTime() - before) / 1e4);
    browser.Quit();
}

// A browser process whose broker cannot be created: the user is told once,
// and the helper works all the same.
QUELLAN_TEST_ROLE(LonelyBrowserProcess)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 10;
    int code = 0;
    {
        CComPtr<IObjectWithSite> helper;
        HRESULT hr = CBHO::CreateObject(nullptr, IID_IObjectWithSite, helper.PutVoid());
        if (hr != S_OK || !helper)
            code = 11;
        else if (CBHO::HelperCount() != 1)
            code = 12;
    }
    CoUninitialize();
    return code;
}

TEST(BrowserProcessAlone, UnavailableBrokerIsReportedInAMessageBoxAndTheHelperStillWorks)
{
    // Nothing registers the broker class here.
    RemoveMenuEntries();
    CHandle child = StartRole(L"LonelyBrowserProcess");
    ASSERT_TRUE(child);
    DWORD childId = GetProcessId(child.Get());
    HWND box = nullptr;
    DWORD start = GetTickCount();
    while (!box && GetTickCount() - start < kAnswerTimeoutMs && WaitForSingleObject(child.Get(), 50) == WAIT_TIMEOUT) {
        HWND candidate = nullptr;
        while ((candidate = FindWindowExW(nullptr, candidate, L"#32770", L"error")) != nullptr) {
            DWORD owner = 0;
            GetWindowThreadProcessId(candidate, &owner);
            if (owner == childId)
                box = candidate;
        }
    }
    ASSERT_NE(box, nullptr) << "no message box";
    wchar_t text[128] = {};
    // The text shows once the box has laid itself out.
    for (int i = 0; i < 100 && !text[0]; ++i) {
        GetDlgItemTextW(box, 0xFFFF, text, 128);
        Sleep(20);
    }
    EXPECT_EQ(std::wstring(text), L"error installing menu extensions");
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(WaitForProcess(child, kAnswerTimeoutMs), 0u);
    EXPECT_EQ(MenuEntries(), Menu::Absent);
}
