#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <sstream>
#include <string>
#include <vector>

#include "engine/AdblockFormat.h"
#include "ui/FilterListTransfer.h"
#include "ui/ListViewText.h"

namespace {

class ListViewTest : public testing::Test
{
protected:
    void SetUp() override
    {
        INITCOMMONCONTROLSEX init{sizeof init, ICC_LISTVIEW_CLASSES};
        ASSERT_TRUE(InitCommonControlsEx(&init));
        // Small, so that most items are scrolled out of view.
        m_list = CreateWindowExW(0, WC_LISTVIEWW, L"", WS_POPUP | LVS_REPORT | LVS_SHOWSELALWAYS, 0, 0,
                                 240, 120, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(m_list, nullptr);
        LVCOLUMNW column{};
        column.mask = LVCF_WIDTH;
        column.cx = 200;
        ASSERT_EQ(SendMessageW(m_list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column)), 0);
    }
    void TearDown() override { DestroyWindow(m_list); }

    void Add(const std::wstring& text)
    {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = Count();
        item.pszText = const_cast<wchar_t*>(text.c_str());
        ASSERT_GE(SendMessageW(m_list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)), 0);
    }
    int Count() const { return static_cast<int>(SendMessageW(m_list, LVM_GETITEMCOUNT, 0, 0)); }
    UINT State(int item) const
    {
        return static_cast<UINT>(SendMessageW(m_list, LVM_GETITEMSTATE, static_cast<WPARAM>(item),
                                              LVIS_SELECTED | LVIS_FOCUSED));
    }
    void Select(int item)
    {
        LVITEMW state{};
        state.state = LVIS_SELECTED;
        state.stateMask = LVIS_SELECTED;
        SendMessageW(m_list, LVM_SETITEMSTATE, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&state));
    }
    std::vector<std::wstring> Texts() const
    {
        std::vector<std::wstring> texts;
        for (int i = 0; i < Count(); ++i)
            texts.push_back(GetListItemText(m_list, i));
        return texts;
    }

    HWND m_list = nullptr;
};

} // namespace

TEST_F(ListViewTest, ReadsItemTextsWholeWhateverTheirLength)
{
    std::vector<std::wstring> texts = {L"", L"short"};
    // Around the first buffer's size (256), its first doubling, and beyond.
    for (std::size_t length : {254u, 255u, 256u, 300u, 511u, 512u, 5000u}) {
        std::wstring text;
        for (std::size_t i = 0; i < length; ++i)
            text += static_cast<wchar_t>(L'a' + i % 26);
        texts.push_back(text);
    }
    for (const std::wstring& text : texts)
        Add(text);
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(GetListItemText(m_list, static_cast<int>(i)), texts[i]) << "item " << i;
    EXPECT_EQ(GetListItemText(m_list, 99), L"");
}

TEST_F(ListViewTest, AppendSelectsFocusesAndShowsTheNewItem)
{
    for (int i = 0; i < 50; ++i)
        Add(L"item " + std::to_wstring(i));
    Select(0);
    Select(2);
    SendMessageW(m_list, LVM_ENSUREVISIBLE, 0, FALSE);

    AppendFilterItem(m_list, L"*new*");
    ASSERT_EQ(Count(), 51);
    EXPECT_EQ(GetListItemText(m_list, 50), L"*new*");
    EXPECT_EQ(State(50), static_cast<UINT>(LVIS_SELECTED | LVIS_FOCUSED));
    EXPECT_TRUE(State(0) & LVIS_SELECTED);
    EXPECT_TRUE(State(2) & LVIS_SELECTED);
    EXPECT_FALSE(State(1) & LVIS_SELECTED);
    EXPECT_EQ(SendMessageW(m_list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED), 50);

    // Fully visible: inside the client area, not just partly.
    RECT item{};
    item.left = LVIR_BOUNDS;
    ASSERT_TRUE(SendMessageW(m_list, LVM_GETITEMRECT, 50, reinterpret_cast<LPARAM>(&item)));
    RECT client{};
    GetClientRect(m_list, &client);
    EXPECT_GE(item.top, client.top);
    EXPECT_LE(item.bottom, client.bottom);

    AppendFilterItem(m_list, L"");
    EXPECT_EQ(Count(), 52);
    EXPECT_TRUE(State(50) & LVIS_SELECTED);
    EXPECT_EQ(State(51), static_cast<UINT>(LVIS_SELECTED | LVIS_FOCUSED));
}

TEST_F(ListViewTest, ImportAppendsConvertedFiltersAfterExistingItems)
{
    Add(L"*old*");
    using namespace std::string_literals;
    std::istringstream file("[Adblock]\r\nbanner\r\n! comment\r\n@@|x|\r\nads$script\r\n@@\0x\r\nbanner\r\n"s);
    const CAdblockImportResult counts = ImportFilterList(m_list, file);
    EXPECT_EQ(Texts(), (std::vector<std::wstring>{L"*old*", L"*banner*", L"%x", L"*banner*"}));
    // What the dialog tells the user: the options line and the one holding a
    // NUL byte were skipped.
    EXPECT_EQ(counts.added, 3u);
    EXPECT_EQ(counts.ignored, 1u);
    EXPECT_EQ(counts.skipped, 2u);
    EXPECT_FALSE(State(0) & LVIS_SELECTED);
    for (int i = 1; i < 4; ++i)
        EXPECT_TRUE(State(i) & LVIS_SELECTED) << i;

    std::istringstream notAList("banner\n");
    bool refused = false;
    try {
        ImportFilterList(m_list, notAList);
    } catch (int code) {
        refused = code == kMissingAdblockHeader;
    }
    EXPECT_TRUE(refused);
    EXPECT_EQ(Count(), 4);
}

TEST_F(ListViewTest, ExportWritesTheValidItemsInListOrder)
{
    Add(L"*banner*");
    Add(L"broken\ntext");
    Add(L"%/ad[0-9]+/");
    Add(std::wstring(300, L'x'));
    std::ostringstream file;
    ExportFilterList(m_list, file);
    const std::string text = file.str();
    const std::string header = "[Adblock]\n! Exported from Quellan at ";
    ASSERT_EQ(text.compare(0, header.size(), header), 0) << text;
    const std::size_t body = text.find('\n', header.size()) + 1;
    EXPECT_EQ(body - header.size(), 26u);  // the timestamp and its line feed
    EXPECT_EQ(text.substr(body), "banner\n@@/ad[0-9]+/\n|" + std::string(300, 'x') + "|\n");
}
