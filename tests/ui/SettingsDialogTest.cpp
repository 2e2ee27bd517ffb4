// The settings dialog of the shipped library, driven with keys and clicks
// under Xvfb, against the user's real stores of the test prefix.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>
#include <dlgs.h>

#include "com/Handle.h"
#include "engine/FilterEdit.h"
#include "resources/ResourceIds.h"
#include "tests/support/Files.h"
#include "tests/support/TestEnvironment.h"
#include "tests/ui/DialogSession.h"
#include "ui/ListViewText.h"

namespace {

using Texts = std::vector<std::wstring>;

const wchar_t kCaption[] = L"Quellan Settings";

class SettingsDialog : public testing::Test
{
protected:
    void SetUp() override
    {
        StoreFilters({});
        StoreRemoveBlockedItems(false);
    }

    // Opens the dialog and waits until it has loaded.
    void Open()
    {
        m_session = std::make_unique<CDialogSession>([](IAutomation* automation) {
            return automation->ShowSettingsDialog();
        });
        m_dialog = WaitForDialog(m_session->GetThreadId(), kCaption);
        ASSERT_TRUE(m_dialog) << "the settings dialog did not open";
    }

    // Waits for the dialog to end and checks the call's result.
    void ExpectClosed()
    {
        HRESULT hr = E_FAIL;
        ASSERT_TRUE(m_session->Finish(&hr)) << "the dialog did not close";
        EXPECT_EQ(S_OK, hr);
        m_session.reset();
        m_dialog = nullptr;
    }

    HWND Item(int id) const { return GetDlgItem(m_dialog, id); }
    HWND List() const { return Item(IDC_FILTER_LIST); }
    HWND Edit() const { return Item(IDC_FILTER_EDIT); }
    bool Enabled(int id) const { return IsWindowEnabled(Item(id)) != FALSE; }
    bool WaitEnabled(int id, bool enabled) const
    {
        return WaitUntil([&] { return Enabled(id) == enabled; });
    }
    bool WaitForList(const Texts& texts) const
    {
        if (WaitUntil([&] { return ListTexts(List()) == texts; }))
            return true;
        ADD_FAILURE() << "the list holds " << testing::PrintToString(ListTexts(List()));
        return false;
    }
    int DefaultButton() const { return LOWORD(SendMessageW(m_dialog, DM_GETDEFID, 0, 0)); }
    bool Checked(int id) const { return SendMessageW(Item(id), BM_GETCHECK, 0, 0) == BST_CHECKED; }

    // Keeps the library, and with it the process's SessionDisabled flag,
    // loaded from one dialog session to the next.
    CShippedLibrary m_library;
    std::unique_ptr<CDialogSession> m_session;
    HWND m_dialog = nullptr;
    CBalloonRecorder m_balloons;
};

TEST_F(SettingsDialog, EditsTheListWithKeysAndButtons)
{
    StoreFilters({L"first", L"second", L"third"});
    Open();
    ASSERT_EQ(ListTexts(List()), (Texts{L"first", L"second", L"third"}));
    EXPECT_FALSE(Enabled(IDC_APPLY));
    EXPECT_FALSE(Enabled(IDC_ADD));
    m_balloons.Attach(Edit());

    // The focus starts in the edit box, where Enter adds.
    ASSERT_TRUE(WaitUntil([&] { return DefaultButton() == IDC_ADD; }));
    PostText(Edit(), L"*ads*");
    ASSERT_TRUE(WaitEnabled(IDC_ADD, true));
    PostKey(Edit(), VK_RETURN);
    ASSERT_TRUE(WaitForList({L"first", L"second", L"third", L"*ads*"}));
    EXPECT_EQ(L"", WindowText(Edit()));
    EXPECT_TRUE(WaitEnabled(IDC_ADD, false));
    EXPECT_TRUE(Enabled(IDC_APPLY));

    // An invalid filter is refused with the reason; the text stays.
    PostText(Edit(), L"/ad[/");
    ASSERT_TRUE(WaitEnabled(IDC_ADD, true));
    PostKey(Edit(), VK_RETURN);
    EXPECT_TRUE(m_balloons.WaitForText(CheckFilterText(L"/ad[/")));
    EXPECT_EQ(L"/ad[/", WindowText(Edit()));
    EXPECT_EQ(4u, ListTexts(List()).size());

    // Away from the edit box, OK is the default button again.
    PostFocus(m_dialog, List());
    EXPECT_TRUE(WaitUntil([&] { return DefaultButton() == IDOK; }));

    // The first and the third selected: Move Up keeps the first where it is.
    SelectOnly(List(), {0, 2});
    ASSERT_TRUE(WaitEnabled(IDC_MOVE_UP, true));
    PostClick(Item(IDC_MOVE_UP));
    ASSERT_TRUE(WaitForList({L"first", L"third", L"second", L"*ads*"}));
    EXPECT_EQ(SelectedItems(List()), (std::vector<int>{0, 1}));
    EXPECT_TRUE(WaitEnabled(IDC_MOVE_UP, false));
    EXPECT_TRUE(Enabled(IDC_MOVE_DOWN));
    // The block moves down as one.
    PostClick(Item(IDC_MOVE_DOWN));
    ASSERT_TRUE(WaitForList({L"second", L"first", L"third", L"*ads*"}));
    EXPECT_EQ(SelectedItems(List()), (std::vector<int>{1, 2}));

    // Sort by its mnemonic: ordinal, so capitals first and a prefix first.
    SelectOnly(List(), {});
    PostFocus(m_dialog, Edit());
    for (const wchar_t* text : {L"apple*", L"Zebra*", L"app"}) {
        std::size_t count = ListTexts(List()).size();
        SendMessageW(Edit(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
        PostKey(Edit(), VK_RETURN);
        ASSERT_TRUE(WaitUntil([&] { return ListTexts(List()).size() == count + 1; })) << text;
    }
    PostMnemonic(List(), L's');
    ASSERT_TRUE(WaitForList({L"*ads*", L"Zebra*", L"app", L"apple*", L"first", L"second", L"third"}));
    // The three just added were selected: the selection moves with them.
    EXPECT_EQ(SelectedItems(List()), (std::vector<int>{1, 2, 3}));

    // Apply writes the list as shown.
    PostClick(Item(IDC_APPLY));
    ASSERT_TRUE(WaitEnabled(IDC_APPLY, false));
    EXPECT_EQ(StoredFilters(), ListTexts(List()));

    // An edit in place ended by another control (here Sort) is discarded.
    PostFocus(m_dialog, List());
    PostMessageW(List(), LVM_EDITLABELW, 4, 0);
    HWND labelEdit = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        labelEdit = reinterpret_cast<HWND>(SendMessageW(List(), LVM_GETEDITCONTROL, 0, 0));
        return labelEdit != nullptr;
    }));
    EXPECT_EQ(L"first", WindowText(labelEdit));
    SendMessageW(labelEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"*edited*"));
    PostClick(Item(IDC_SORT));
    ASSERT_TRUE(WaitUntil([&] { return !SendMessageW(List(), LVM_GETEDITCONTROL, 0, 0); }));
    EXPECT_EQ(ListTexts(List()), StoredFilters());

    // An invalid edit and Enter keep the editor open; a valid one and Enter
    // keep the new text.
    PostFocus(m_dialog, List());
    PostMessageW(List(), LVM_EDITLABELW, 4, 0);
    ASSERT_TRUE(WaitUntil([&] {
        labelEdit = reinterpret_cast<HWND>(SendMessageW(List(), LVM_GETEDITCONTROL, 0, 0));
        return labelEdit != nullptr;
    }));
    m_balloons.Attach(labelEdit);
    SendMessageW(labelEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"bad\\"));
    PostKey(labelEdit, VK_RETURN);
    EXPECT_TRUE(m_balloons.WaitForText(CheckFilterText(L"bad\\")));
    EXPECT_EQ(labelEdit, reinterpret_cast<HWND>(SendMessageW(List(), LVM_GETEDITCONTROL, 0, 0)));
    SendMessageW(labelEdit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"*edited*"));
    PostKey(labelEdit, VK_RETURN);
    ASSERT_TRUE(WaitUntil([&] { return GetListItemText(List(), 4) == L"*edited*"; }));
    EXPECT_TRUE(WaitEnabled(IDC_APPLY, true));

    // Remove everything with the Delete key, apply: the store is empty.
    PostFocus(m_dialog, List());
    SelectOnly(List(), {0, 1, 2, 3, 4, 5, 6});
    PostKey(List(), VK_DELETE);
    ASSERT_TRUE(WaitForList({}));
    PostClick(Item(IDC_APPLY));
    ASSERT_TRUE(WaitEnabled(IDC_APPLY, false));
    EXPECT_EQ(StoredFilters(), Texts{});

    // Escape closes the dialog.
    PostKey(List(), VK_ESCAPE);
    ExpectClosed();
}

TEST_F(SettingsDialog, OkWithoutChangesWritesNothing)
{
    StoreFilters({L"*/ads/*", L"%*good*"});
    StoreRemoveBlockedItems(true);
    AgeFile(FilterListPath());
    AgeFile(SettingsPath());
    const CFileState filters = ReadFileState(FilterListPath());
    const CFileState settings = ReadFileState(SettingsPath());

    Open();
    ASSERT_TRUE(WaitForList({L"*/ads/*", L"%*good*"}));
    EXPECT_TRUE(Checked(IDC_REMOVE_BLOCKED_ITEMS));
    EXPECT_FALSE(Enabled(IDC_APPLY));
    PostClick(Item(IDOK));
    ExpectClosed();

    EXPECT_TRUE(ReadFileState(FilterListPath()) == filters) << "storage.bin was written";
    EXPECT_TRUE(ReadFileState(SettingsPath()) == settings) << "settings.bin was written";
}

TEST_F(SettingsDialog, ApplyWritesWhatWasClickedAndCancelDropsOnlyTheRest)
{
    StoreFilters({L"*/ads/*"});
    StoreRemoveBlockedItems(true);
    Open();
    ASSERT_TRUE(WaitForList({L"*/ads/*"}));
    ASSERT_FALSE(Checked(IDC_SESSION_DISABLED));
    ASSERT_TRUE(Checked(IDC_REMOVE_BLOCKED_ITEMS));

    // Each box clicked twice is back where it was, and still a change that
    // Apply writes: settings.bin is rewritten, storage.bin is not.
    for (int id : {IDC_SESSION_DISABLED, IDC_REMOVE_BLOCKED_ITEMS}) {
        PostClick(Item(id));
        PostClick(Item(id));
    }
    ASSERT_TRUE(WaitEnabled(IDC_APPLY, true));
    // Apply is enabled by the first click; the others may still be queued
    // (a slow machine, or emulation, answers BM_GETCHECK in between).
    EXPECT_TRUE(WaitUntil([&] { return !Checked(IDC_SESSION_DISABLED) && Checked(IDC_REMOVE_BLOCKED_ITEMS); }));
    AgeFile(FilterListPath());
    AgeFile(SettingsPath());
    const CFileState filters = ReadFileState(FilterListPath());
    const CFileState settings = ReadFileState(SettingsPath());
    PostClick(Item(IDC_APPLY));
    ASSERT_TRUE(WaitEnabled(IDC_APPLY, false));
    const CFileState written = ReadFileState(SettingsPath());
    EXPECT_FALSE(written == settings) << "settings.bin was not written";
    EXPECT_EQ(settings.bytes, written.bytes);
    EXPECT_TRUE(ReadFileState(FilterListPath()) == filters) << "storage.bin was written";

    // Applied: the session switch. Then a new filter and the other box,
    // cancelled.
    PostClick(Item(IDC_SESSION_DISABLED));
    ASSERT_TRUE(WaitEnabled(IDC_APPLY, true));
    PostClick(Item(IDC_APPLY));
    ASSERT_TRUE(WaitEnabled(IDC_APPLY, false));
    PostFocus(m_dialog, Edit());
    PostText(Edit(), L"*tracker*");
    ASSERT_TRUE(WaitEnabled(IDC_ADD, true));
    PostClick(Item(IDC_ADD));
    ASSERT_TRUE(WaitForList({L"*/ads/*", L"*tracker*"}));
    PostClick(Item(IDC_REMOVE_BLOCKED_ITEMS));
    ASSERT_TRUE(WaitUntil([&] { return !Checked(IDC_REMOVE_BLOCKED_ITEMS); }));
    PostClick(Item(IDCANCEL));
    ExpectClosed();

    EXPECT_EQ(StoredFilters(), Texts{L"*/ads/*"});
    EXPECT_TRUE(StoredRemoveBlockedItems());
    // The switch lives in this process: the dialog shows it again.
    Open();
    ASSERT_TRUE(WaitForList({L"*/ads/*"}));
    EXPECT_TRUE(Checked(IDC_SESSION_DISABLED));
    EXPECT_TRUE(Checked(IDC_REMOVE_BLOCKED_ITEMS));
    EXPECT_FALSE(Enabled(IDC_APPLY));
    PostClick(Item(IDC_SESSION_DISABLED));
    ASSERT_TRUE(WaitEnabled(IDC_APPLY, true));
    PostClick(Item(IDOK));
    ExpectClosed();
}

// Apply must not drop what was stored elsewhere while the dialog was open
// (the Add Filter dialog, QuellanCtl, another process): both changes stay,
// and the dialog shows the list as stored.
TEST_F(SettingsDialog, ApplyKeepsFiltersStoredElsewhereMeanwhile)
{
    StoreFilters({L"*a*", L"*b*"});
    Open();
    ASSERT_TRUE(WaitForList({L"*a*", L"*b*"}));
    StoreFilters({L"*a*", L"*b*", L"*added-elsewhere*"});
    PostFocus(m_dialog, Edit());
    PostText(Edit(), L"*mine*");
    ASSERT_TRUE(WaitEnabled(IDC_ADD, true));
    PostClick(Item(IDC_ADD));
    ASSERT_TRUE(WaitForList({L"*a*", L"*b*", L"*mine*"}));
    PostClick(Item(IDC_APPLY));
    HWND box = WaitForMessageBox(m_dialog);
    ASSERT_TRUE(box) << "the merge was not told";
    EXPECT_NE(MessageBoxText(box).find(L"1 filters added elsewhere"), std::wstring::npos) << MessageBoxText(box);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    const Texts both = {L"*a*", L"*b*", L"*mine*", L"*added-elsewhere*"};
    EXPECT_EQ(StoredFilters(), both);
    ASSERT_TRUE(WaitForList(both));
    ASSERT_TRUE(WaitEnabled(IDC_APPLY, false));

    // Applied again with no change elsewhere: no question, the list as is.
    PostClick(Item(IDC_SORT));
    ASSERT_TRUE(WaitEnabled(IDC_APPLY, true));
    PostClick(Item(IDOK));
    ExpectClosed();
    EXPECT_EQ(StoredFilters(), (Texts{L"*a*", L"*added-elsewhere*", L"*b*", L"*mine*"}));
}

TEST_F(SettingsDialog, ImportsAndExportsThroughTheBroker)
{
    CShippedRegistration registration(m_library);
    ASSERT_TRUE(registration.IsRegistered());
    const std::wstring folder = MakeScratchDir();
    const std::wstring list = folder + L"\\list.txt";
    const std::wstring plain = folder + L"\\plain.txt";
    const std::wstring exported = folder + L"\\exported.txt";
    WriteFileBytes(list, "[Adblock Plus 2.0]\r\n! a comment\r\nbanner\r\n@@/ban+er/\r\n");
    WriteFileBytes(plain, "banner\r\n/ads/\r\n");
    StoreFilters({L"first"});
    Open();
    ASSERT_TRUE(WaitForList({L"first"}));
    const DWORD thread = m_session->GetThreadId();

    // A cancelled file dialog changes nothing and says nothing.
    PostClick(Item(IDC_IMPORT));
    ChooseFile(thread, m_dialog, L"Import Filter List", L"");
    EXPECT_FALSE(WaitForMessageBox(m_dialog, 1000));

    // A file without the header is refused as a whole, and the user told.
    PostClick(Item(IDC_IMPORT));
    ChooseFile(thread, m_dialog, L"Import Filter List", plain);
    HWND box = WaitForMessageBox(m_dialog);
    ASSERT_TRUE(box);
    EXPECT_NE(std::wstring::npos, MessageBoxText(box).find(L"not an Adblock filter list")) << MessageBoxText(box).c_str();
    PostClick(GetDlgItem(box, IDOK));
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
    EXPECT_EQ(ListTexts(List()), Texts{L"first"});
    EXPECT_FALSE(Enabled(IDC_APPLY));

    // The same list twice is appended twice.
    for (int round = 0; round < 2; ++round) {
        PostClick(Item(IDC_IMPORT));
        ChooseFile(thread, m_dialog, L"Import Filter List", list);
    }
    ASSERT_TRUE(WaitForList({L"first", L"*banner*", L"%/ban+er/", L"*banner*", L"%/ban+er/"}));
    EXPECT_TRUE(Enabled(IDC_APPLY));

    // Export writes the list as shown, unapplied edits included, and lets
    // the file go.
    SelectOnly(List(), {0, 3, 4});
    PostFocus(m_dialog, List());
    PostKey(List(), VK_DELETE);
    ASSERT_TRUE(WaitForList({L"*banner*", L"%/ban+er/"}));
    PostClick(Item(IDC_EXPORT));
    ChooseFile(thread, m_dialog, L"Export Filter List", exported);
    std::string bytes;
    ASSERT_TRUE(WaitUntil([&] { return (bytes = ReadFileState(exported).bytes).size() > 0; }));
    const std::size_t comment = bytes.find("\r\n! Exported from Quellan at ");
    ASSERT_EQ(std::string("[Adblock]").size(), comment) << bytes;
    EXPECT_EQ("\r\nbanner\r\n@@/ban+er/\r\n", bytes.substr(bytes.find("\r\n", comment + 2))) << bytes;

    // Cancel: the store keeps what it had.
    PostClick(Item(IDCANCEL));
    ExpectClosed();
    EXPECT_EQ(StoredFilters(), Texts{L"first"});
}

TEST_F(SettingsDialog, ABrokerThatCannotBeCreatedLeavesTheDialogUsable)
{
    // No class registration, as when the broker was never installed.
    m_library.UnregisterServer();
    StoreFilters({L"first"});
    Open();
    ASSERT_TRUE(WaitForList({L"first"}));
    for (int button : {IDC_IMPORT, IDC_EXPORT}) {
        PostClick(Item(button));
        HWND box = WaitForMessageBox(m_dialog);
        ASSERT_TRUE(box);
        EXPECT_NE(std::wstring::npos, MessageBoxText(box).find(L"could not be shown")) << MessageBoxText(box).c_str();
        PostClick(GetDlgItem(box, IDOK));
        ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
    }
    EXPECT_EQ(ListTexts(List()), Texts{L"first"});
    EXPECT_FALSE(Enabled(IDC_APPLY));

    PostFocus(m_dialog, Edit());
    PostText(Edit(), L"*second*");
    ASSERT_TRUE(WaitEnabled(IDC_ADD, true));
    PostKey(Edit(), VK_RETURN);
    ASSERT_TRUE(WaitForList({L"first", L"*second*"}));
    PostClick(Item(IDOK));
    ExpectClosed();
    EXPECT_EQ(StoredFilters(), (Texts{L"first", L"*second*"}));
}

}  // namespace
