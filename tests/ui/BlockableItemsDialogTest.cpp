// The Blockable Items dialog and the Add Filter dialog it opens, on stand-in
// pages, driven with keys and clicks under Xvfb against the user's real
// filter list store of the test prefix.

#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include "engine/FilterEdit.h"
#include "resources/ResourceIds.h"
#include "tests/ui/DialogSession.h"
#include "tools/standin/StandInDocument.h"

namespace {

using Texts = std::vector<std::wstring>;
using Rows = std::vector<Texts>;

constexpr wchar_t kCaption[] = L"Blockable Items";
constexpr wchar_t kAddFilterCaption[] = L"Add Filter";
constexpr wchar_t kPageUrl[] = L"http://www.example.com/dir/page.html";

// Every kind of item, a URL used twice (first by a script, then by an
// image), the same image twice, and the same URL in another letter case.
constexpr wchar_t kPage[] = LR"html(<html><head>
<script src="http://ads.example.com/ad.js"></script>
</head><body>
<img src="http://ads.example.com/ad.js">
<img src="images/Logo.png">
<img src="images/logo.png">
<img src="images/Logo.png">
<iframe src="http://ads.example.com/frame.html"></iframe>
<div style="background-image: url(http://www.example.com/bg.png)"></div>
</body></html>)html";

const Rows kPageRows = {
    {L"http://ads.example.com/ad.js", L"script"},
    {L"http://www.example.com/dir/images/Logo.png", L"image"},
    {L"http://www.example.com/dir/images/logo.png", L"image"},
    {L"http://ads.example.com/frame.html", L"frame"},
    {L"http://www.example.com/bg.png", L"background"},
};

class BlockableItemsDialog : public testing::Test
{
protected:
    void SetUp() override { StoreFilters({}); }

    // Opens the dialog on a stand-in page made on the dialog's thread (the
    // document belongs to the thread that made it). With `notADocument`
    // the dialog gets an element of the page instead.
    void Open(const wchar_t* html, bool notADocument = false)
    {
        std::wstring page = html;
        m_session = std::make_unique<CDialogSession>([page, notADocument](IAutomation* automation) {
            CComPtr<IHTMLDocument2> document = CreateStandInDocument(page, kPageUrl);
            CComPtr<IDispatch> passed;
            if (notADocument)
                StandInDocument(document).Elements().at(0)->QueryInterface(IID_IDispatch, passed.PutVoid());
            else
                document->QueryInterface(IID_IDispatch, passed.PutVoid());
            return automation->ShowBlockableItemsDialog(passed);
        });
        m_dialog = WaitForDialogWith(m_session->GetThreadId(), kCaption, IDC_ITEM_LIST);
        ASSERT_TRUE(m_dialog) << "the Blockable Items dialog did not open";
        m_greyRows.Attach(m_dialog, IDC_ITEM_LIST);
        CGreyRowRecorder::Repaint(List());
    }

    void ExpectClosed()
    {
        HRESULT hr = E_FAIL;
        ASSERT_TRUE(m_session->Finish(&hr)) << "the dialog did not close";
        EXPECT_EQ(S_OK, hr);
        m_session.reset();
    }

    // Presses Add Mask (or its mnemonic, Alt+A) and waits for the Add
    // Filter dialog.
    HWND AddMask(bool byKey = false)
    {
        if (byKey)
            PostMnemonic(List(), L'a');
        else
            PostClick(GetDlgItem(m_dialog, IDC_ADD_MASK));
        HWND addFilter = WaitForDialog(m_session->GetThreadId(), kAddFilterCaption, m_dialog);
        EXPECT_TRUE(addFilter) << "the Add Filter dialog did not open";
        return addFilter;
    }

    HWND List() const { return GetDlgItem(m_dialog, IDC_ITEM_LIST); }
    bool ListHasFocus() const
    {
        return WaitUntil([&] { return FocusedWindow(m_session->GetThreadId()) == List(); });
    }

    std::unique_ptr<CDialogSession> m_session;
    HWND m_dialog = nullptr;
    CGreyRowRecorder m_greyRows;
    CBalloonRecorder m_balloons;
};

TEST_F(BlockableItemsDialog, ListsEachUrlOnceAndGreysWhatTheListBlocks)
{
    StoreFilters({L"*ads.example.com*"});
    Open(kPage);
    EXPECT_EQ(kPageRows, ListRows(List()));
    // The focus starts on Close; the URL column takes the room Type leaves.
    EXPECT_EQ(GetDlgItem(m_dialog, IDC_CLOSE), FocusedWindow(m_session->GetThreadId()));
    RECT client = {};
    GetClientRect(List(), &client);
    EXPECT_EQ(80, SendMessageW(List(), LVM_GETCOLUMNWIDTH, 1, 0));
    EXPECT_EQ(client.right - 80, SendMessageW(List(), LVM_GETCOLUMNWIDTH, 0, 0));

    EXPECT_TRUE(m_greyRows.WaitForRow(0, true));
    EXPECT_TRUE(m_greyRows.WaitForRow(1, false));
    EXPECT_TRUE(m_greyRows.WaitForRow(2, false));
    EXPECT_TRUE(m_greyRows.WaitForRow(3, true));
    EXPECT_TRUE(m_greyRows.WaitForRow(4, false));

    // Add Mask on the second row: its URL, ready to store as it is.
    SelectOnly(List(), {1});
    HWND addFilter = AddMask();
    ASSERT_TRUE(addFilter);
    HWND edit = GetDlgItem(addFilter, IDC_FILTER_EDIT);
    EXPECT_EQ(kPageRows[1][0], WindowText(edit));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(addFilter, IDOK)));
    PostClick(GetDlgItem(addFilter, IDOK));
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(addFilter); }));
    EXPECT_EQ(StoredFilters(), (Texts{L"*ads.example.com*", kPageRows[1][0]}));
    // Grey at once, and so is the same URL in other letters: wildcards
    // ignore letter case.
    EXPECT_TRUE(m_greyRows.WaitForRow(1, true));
    EXPECT_TRUE(m_greyRows.WaitForRow(2, true));
    EXPECT_TRUE(m_greyRows.WaitForRow(4, false));
    EXPECT_TRUE(ListHasFocus());

    // The same filter once more is stored once more.
    addFilter = AddMask();
    ASSERT_TRUE(addFilter);
    PostKey(GetDlgItem(addFilter, IDC_FILTER_EDIT), VK_RETURN);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(addFilter); }));
    EXPECT_EQ(StoredFilters(), (Texts{L"*ads.example.com*", kPageRows[1][0], kPageRows[1][0]}));

    PostClick(GetDlgItem(m_dialog, IDC_CLOSE));
    ExpectClosed();
}

TEST_F(BlockableItemsDialog, AddFilterStoresNothingUntilAValidFilterIsConfirmed)
{
    StoreFilters({L"*tracker*"});
    Open(kPage);
    ASSERT_EQ(kPageRows, ListRows(List()));

    // Nothing selected: an empty text, and OK only while there is one.
    SelectOnly(List(), {});
    HWND addFilter = AddMask();
    ASSERT_TRUE(addFilter);
    HWND edit = GetDlgItem(addFilter, IDC_FILTER_EDIT);
    HWND ok = GetDlgItem(addFilter, IDOK);
    EXPECT_EQ(L"", WindowText(edit));
    EXPECT_FALSE(IsWindowEnabled(ok));
    PostText(edit, L"x");
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(ok) != FALSE; }));
    PostKey(edit, VK_BACK);
    EXPECT_TRUE(WaitUntil([&] { return IsWindowEnabled(ok) == FALSE; }));

    // A backslash that escapes nothing is refused with the reason, and the
    // dialog stays with the text.
    const std::wstring bad = L"http://www.example.com/a\\b.png";
    m_balloons.Attach(edit);
    PostText(edit, bad);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(ok) != FALSE; }));
    PostClick(ok);
    EXPECT_TRUE(m_balloons.WaitForText(CheckFilterText(bad.c_str())));
    EXPECT_TRUE(IsWindow(addFilter));
    EXPECT_EQ(bad, WindowText(edit));

    // Escape, the close box and Cancel store nothing; the list has the focus
    // again each time.
    PostKey(edit, VK_ESCAPE);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(addFilter); }));
    EXPECT_TRUE(ListHasFocus());
    SelectOnly(List(), {3});
    addFilter = AddMask(true);
    ASSERT_TRUE(addFilter);
    PostMessageW(addFilter, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(addFilter); }));
    addFilter = AddMask();
    ASSERT_TRUE(addFilter);
    PostClick(GetDlgItem(addFilter, IDCANCEL));
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(addFilter); }));
    EXPECT_TRUE(ListHasFocus());
    EXPECT_EQ(StoredFilters(), Texts{L"*tracker*"});
    EXPECT_TRUE(m_greyRows.WaitForRow(3, false));

    // Escape ends the dialog too.
    PostKey(List(), VK_ESCAPE);
    ExpectClosed();
}

TEST_F(BlockableItemsDialog, AnEmptyOrUnreadablePageLeavesAUsableDialog)
{
    Open(L"<html><body><p>Nothing to block.</p></body></html>");
    EXPECT_EQ(Rows{}, ListRows(List()));
    PostMessageW(m_dialog, WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box
    ExpectClosed();

    // Not a document at all: the user hears that the page could not be read.
    Open(kPage, true);
    HWND box = WaitForMessageBox(m_dialog);
    ASSERT_TRUE(box);
    EXPECT_NE(std::wstring::npos, MessageBoxText(box).find(L"could not read")) << MessageBoxText(box).c_str();
    PostClick(GetDlgItem(box, IDOK));
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(box); }));
    EXPECT_EQ(Rows{}, ListRows(List()));
    PostClick(GetDlgItem(m_dialog, IDC_CLOSE));
    ExpectClosed();
}

}  // namespace
