// The settings dialog of the shipped library, driven with keys and clicks
// under Xvfb, against the user's real stores of the test prefix.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "engine/FilterEdit.h"
#include "resources/ResourceIds.h"
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

}  // namespace
