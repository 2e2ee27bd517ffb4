// The Adblock Lists dialog, opened from the settings dialog of the shipped
// library and driven with clicks and list view messages under Xvfb, against
// the user's real Adblock list store of the test prefix and a local server.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "com/Handle.h"
#include "resources/ResourceIds.h"
#include "storage/AdblockListStore.h"
#include "storage/AdblockListUpdate.h"
#include "tests/support/Files.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TestEnvironment.h"
#include "tests/ui/DialogSession.h"

namespace {

using Texts = std::vector<std::wstring>;
using Rows = std::vector<Texts>;

constexpr wchar_t kSettingsCaption[] = L"Quellan Settings";
constexpr wchar_t kCaption[] = L"Adblock Lists";
constexpr wchar_t kAddCaption[] = L"Add Adblock List";

class ListsDialog : public testing::Test
{
protected:
    void SetUp() override { CUserStoreReset clean; }

    // Opens the settings dialog and, with its Lists... button, this one.
    void Open()
    {
        m_session = std::make_unique<CDialogSession>([](IAutomation* automation) {
            return automation->ShowSettingsDialog();
        });
        m_settings = WaitForDialog(m_session->GetThreadId(), kSettingsCaption);
        ASSERT_TRUE(m_settings) << "the settings dialog did not open";
        HWND button = GetDlgItem(m_settings, IDC_LISTS);
        ASSERT_TRUE(button) << "no Lists... button";
        EXPECT_EQ(WindowText(button), L"&Lists...");
        // Tab goes from Export... to Lists... to Move Up.
        EXPECT_EQ(GetNextDlgTabItem(m_settings, GetDlgItem(m_settings, IDC_EXPORT), FALSE), button);
        PostClick(button);
        m_dialog = WaitForDialog(m_session->GetThreadId(), kCaption, m_settings);
        ASSERT_TRUE(m_dialog) << "the lists dialog did not open";
    }

    // Closes both dialogs as a user does.
    void Close()
    {
        PostKey(m_dialog, VK_ESCAPE);
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(m_dialog); }));
        PostClick(GetDlgItem(m_settings, IDCANCEL));
        HRESULT hr = E_FAIL;
        ASSERT_TRUE(m_session->Finish(&hr)) << "the settings dialog did not close";
        EXPECT_EQ(S_OK, hr);
    }

    HWND Item(int id) const { return GetDlgItem(m_dialog, id); }
    HWND List() const { return Item(IDC_ADBLOCK_LISTS); }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool WaitForRows(const std::function<bool(const Rows&)>& expected) const
    {
        if (WaitUntil([&] { return expected(ListRows(List())); }))
            return true;
        ADD_FAILURE() << "the rows are " << testing::PrintToString(ListRows(List()));
        return false;
    }
    // Dismisses the message box over the dialog and returns its text.
    std::wstring TakeMessage() const
    {
        HWND box = WaitForMessageBox(m_dialog);
        if (!box)
            return L"(no message box)";
        const std::wstring text = MessageBoxText(box);
        PostClick(GetDlgItem(box, IDOK));
        WaitUntil([&] { return !IsWindow(box); });
        return text;
    }

    static std::vector<bool> StoredOnOff()
    {
        std::vector<bool> flags;
        for (const CAdblockListEntry& entry : GetAdblockListStore().ReadCatalog().lists)
            flags.push_back(entry.enabled);
        return flags;
    }

    static void SetChecked(HWND list, int row, bool checked)
    {
        LVITEMW state = {};
        state.stateMask = LVIS_STATEIMAGEMASK;
        state.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
        SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&state));
    }

    static bool IsChecked(HWND list, int row)
    {
        return (SendMessageW(list, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_STATEIMAGEMASK) >> 12) == 2;
    }

    CShippedLibrary m_library;
    CUserStoreReset m_reset;
    std::unique_ptr<CDialogSession> m_session;
    HWND m_settings = nullptr;
    HWND m_dialog = nullptr;
};

TEST_F(ListsDialog, ShowsTheStoredListsTurnsThemOffAndOnAndRemovesThem)
{
    StoreAdblockList("[Adblock Plus 2.0]\n! Title: First\n||a.example^\n");
    StoreAdblockList("[Adblock Plus 2.0]\n! Title: Second\n||b.example^\nexample.com##.ad\n");
    GetAdblockListStore().SetEnabled(L"Second", false);
    Open();
    ASSERT_TRUE(WaitForRows([](const Rows& rows) {
        return rows == Rows{{L"First", L"test.txt", L"1", L"never", L"not checked"},
                            {L"Second", L"test.txt", L"2", L"never", L"not checked"}};
    }));
    EXPECT_TRUE(IsChecked(List(), 0));
    EXPECT_FALSE(IsChecked(List(), 1));
    EXPECT_FALSE(Enabled(IDC_REMOVE)) << "nothing is selected";

    // A check box is the list's on/off flag; the list itself stays.
    SetChecked(List(), 0, false);
    EXPECT_TRUE(WaitUntil([] { return StoredOnOff() == std::vector<bool>{false, false}; }));
    SetChecked(List(), 1, true);
    EXPECT_TRUE(WaitUntil([] { return StoredOnOff() == std::vector<bool>{false, true}; }));
    SetChecked(List(), 0, true);
    EXPECT_TRUE(WaitUntil([] { return StoredOnOff() == std::vector<bool>{true, true}; }));

    // Remove takes the selected list out of the store at once.
    SelectOnly(List(), {0});
    ASSERT_TRUE(WaitUntil([&] { return Enabled(IDC_REMOVE); }));
    PostClick(Item(IDC_REMOVE));
    ASSERT_TRUE(WaitForRows([](const Rows& rows) { return rows.size() == 1 && rows[0][0] == L"Second"; }));
    EXPECT_EQ(StoredOnOff(), std::vector<bool>{true});
    EXPECT_TRUE(IsChecked(List(), 0));
    Close();
}

TEST_F(ListsDialog, AddsAndUpdatesOnAWorkerWhileTheDialogAnswers)
{
    CHttpServer server;
    CHttpServer::CResponse response;
    response.body = "[Adblock Plus 2.0]\n! Title: Served\n||ads.example^\n";
    response.etag = "\"1\"";
    server.Serve("/list.txt", response);
    server.Serve("/other.txt", "[Adblock Plus 2.0]\n! Title: Other\n||other.example^\n");
    const std::wstring url = server.Url(L"/list.txt");
    AddAdblockListFromSource(GetAdblockListStore(), url);
    Open();
    ASSERT_TRUE(WaitForRows([](const Rows& rows) { return rows.size() == 1; }));

    // A new text waits at the server until the test lets it go.
    CHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    response.body += "||more.example^\n";
    response.etag = "\"2\"";
    response.hold = release.Get();
    server.Serve("/list.txt", response);
    PostClick(Item(IDC_UPDATE_NOW));
    ASSERT_TRUE(WaitUntil([&] { return !Enabled(IDC_UPDATE_NOW) && !Enabled(IDC_ADD); }));
    // Meanwhile the dialog answers (a dialog thread that waited for the
    // server would not: the time limit only tells a hang from an answer),
    // shows what is going on, and lets the user select a row and turn its
    // list off and on again.
    DWORD_PTR count = 0;
    ASSERT_TRUE(SendMessageTimeoutW(List(), LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 10000, &count));
    EXPECT_EQ(count, 1u);
    ASSERT_TRUE(WaitForRows([](const Rows& rows) { return rows[0][4] == L"checking now..."; }));
    SelectOnly(List(), {0});
    SetChecked(List(), 0, false);
    EXPECT_TRUE(WaitUntil([] { return StoredOnOff() == std::vector<bool>{false}; }));
    SetChecked(List(), 0, true);
    EXPECT_TRUE(WaitUntil([] { return StoredOnOff() == std::vector<bool>{true}; }));
    SetEvent(release.Get());
    ASSERT_TRUE(WaitForRows([&](const Rows& rows) {
        return rows.size() == 1 && rows[0][0] == L"Served" && rows[0][1] == url && rows[0][2] == L"2" &&
               rows[0][3] != L"never" && rows[0][4].rfind(L"ok; next check 20", 0) == 0;
    }));
    EXPECT_TRUE(WaitUntil([&] { return Enabled(IDC_UPDATE_NOW) && Enabled(IDC_ADD); }));
    EXPECT_TRUE(IsChecked(List(), 0));

    // A failed check is told as QuellanCtl tells it, and shows in the row.
    CHttpServer::CResponse gone;
    gone.status = 404;
    server.Serve("/list.txt", gone);
    PostClick(Item(IDC_UPDATE_NOW));
    EXPECT_EQ(TakeMessage(), L"List \"Served\" not updated: the server answered 404; it stays as it was.");
    ASSERT_TRUE(WaitForRows([](const Rows& rows) {
        return rows[0][2] == L"2" && rows[0][4].rfind(L"the server answered 404; next check 20", 0) == 0;
    }));

    // Add... fetches what the prompt names; a refusal adds nothing.
    const DWORD thread = m_session->GetThreadId();
    for (const std::wstring& source : {server.Url(L"/absent.txt"), server.Url(L"/other.txt")}) {
        PostClick(Item(IDC_ADD));
        HWND prompt = WaitForDialog(thread, kAddCaption, m_dialog);
        ASSERT_TRUE(prompt);
        SendMessageW(GetDlgItem(prompt, IDC_LIST_SOURCE), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(source.c_str()));
        ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(GetDlgItem(prompt, IDOK)) != FALSE; }));
        PostClick(GetDlgItem(prompt, IDOK));
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(prompt); }));
        if (source.find(L"absent") != std::wstring::npos) {
            EXPECT_EQ(TakeMessage(), source + L": the server answered 404; nothing was added.");
        }
    }
    ASSERT_TRUE(WaitForRows([](const Rows& rows) { return rows.size() == 2 && rows[1][0] == L"Other"; }));
    EXPECT_EQ(SelectedItems(List()), std::vector<int>{1}) << "the new list is selected";

    // A fetch still running when the dialogs close completes on its own.
    ResetEvent(release.Get());
    response.status = 200;
    response.body += "||last.example^\n";
    response.etag = "\"3\"";
    server.Serve("/list.txt", response);
    SelectOnly(List(), {0});
    PostClick(Item(IDC_UPDATE_NOW));
    ASSERT_TRUE(WaitUntil([&] { return !Enabled(IDC_UPDATE_NOW); }));
    Close();
    SetEvent(release.Get());
    EXPECT_TRUE(WaitUntil([] {
        const CAdblockCatalog catalog = GetAdblockListStore().ReadCatalog();
        return !catalog.lists.empty() && catalog.lists[0].counts.network == 3;
    }));
}

TEST_F(ListsDialog, AddPicksAFileThroughTheBrokersFileDialog)
{
    CShippedRegistration registration(m_library);
    ASSERT_TRUE(registration.IsRegistered());
    const std::wstring file = MakeScratchDir() + L"\\picked.txt";
    WriteFileBytes(file, "[Adblock Plus 2.0]\r\n! Title: Picked\r\n||picked.example^\r\n");
    Open();
    PostClick(Item(IDC_ADD));
    HWND prompt = WaitForDialog(m_session->GetThreadId(), kAddCaption, m_dialog);
    ASSERT_TRUE(prompt);
    PostClick(GetDlgItem(prompt, IDC_BROWSE));
    ChooseFile(m_session->GetThreadId(), prompt, L"Import Filter List", file);
    ASSERT_TRUE(WaitUntil([&] { return !WindowText(GetDlgItem(prompt, IDC_LIST_SOURCE)).empty(); }));
    EXPECT_EQ(_wcsicmp(WindowText(GetDlgItem(prompt, IDC_LIST_SOURCE)).c_str(), file.c_str()), 0)
        << WindowText(GetDlgItem(prompt, IDC_LIST_SOURCE)).c_str();
    PostClick(GetDlgItem(prompt, IDOK));
    ASSERT_TRUE(WaitForRows([](const Rows& rows) { return rows.size() == 1 && rows[0][0] == L"Picked"; }));
    Close();
}

}  // namespace
