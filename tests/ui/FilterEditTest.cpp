#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ui/FilterEdit.h"

namespace {

// Balloon requests seen by the edit control under test. Wine's edit control
// answers EM_SHOWBALLOONTIP with FALSE and shows nothing, so the test
// records the request on its way in instead of looking for a tooltip.
struct CBalloon
{
    UINT size;
    bool hasTitle;
    std::wstring text;
    INT icon;
};
std::vector<CBalloon> g_balloons;
WNDPROC g_editProc = nullptr;

LRESULT CALLBACK RecordingEditProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == EM_SHOWBALLOONTIP) {
        const auto* tip = reinterpret_cast<const EDITBALLOONTIP*>(lParam);
        g_balloons.push_back(CBalloon{tip->cbStruct, tip->pszTitle != nullptr, tip->pszText ? tip->pszText : L"",
                                      tip->ttiIcon});
    }
    return CallWindowProcW(g_editProc, window, message, wParam, lParam);
}

class FilterEditTest : public testing::Test
{
protected:
    void SetUp() override
    {
        g_balloons.clear();
        // Multi-line, so that the control keeps line breaks a user could
        // paste (a single-line edit may cut the text at them).
        m_edit = CreateWindowExW(0, L"EDIT", L"", WS_POPUP | ES_MULTILINE | ES_AUTOHSCROLL, 0, 0, 300, 40, nullptr,
                                 nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(m_edit, nullptr);
        SendMessageW(m_edit, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
        g_editProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(m_edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordingEditProc)));
    }
    void TearDown() override { DestroyWindow(m_edit); }

    void SetText(const std::wstring& text) { ASSERT_TRUE(SetWindowTextW(m_edit, text.c_str())); }
    std::wstring Text() const
    {
        std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(m_edit)) + 1, L'\0');
        text.resize(static_cast<std::size_t>(GetWindowTextW(m_edit, &text[0], static_cast<int>(text.size()))));
        return text;
    }

    // The text ValidateFilterEdit returns, or "<null>".
    std::wstring Validate()
    {
        wchar_t* text = ValidateFilterEdit(m_edit);
        if (!text)
            return L"<null>";
        std::wstring copy(text);
        std::free(text);
        return copy;
    }

    HWND m_edit = nullptr;
};

} // namespace

TEST_F(FilterEditTest, ValidTextsComeBackWholeWithoutABalloon)
{
    for (const wchar_t* text : {L"*ads*", L"%*/images/*", L"/banner[0-9]+\\.gif/", L"%/a/b/", L"", L"//", L"%%",
                                L"a\\*b\\?c\\\\", L"/abc"}) {
        SetText(text);
        EXPECT_EQ(Validate(), text);
        EXPECT_TRUE(IsFilterEditValid(m_edit));
        std::wstring out = L"old";
        EXPECT_TRUE(GetValidFilterText(m_edit, out));
        EXPECT_EQ(out, text);
    }
    EXPECT_TRUE(g_balloons.empty());
}

TEST_F(FilterEditTest, EachKindOfErrorShowsItsOneBalloon)
{
    struct Case
    {
        const wchar_t* text;
        const wchar_t* balloon;
    };
    const Case cases[] = {
        {L"a\\b", L"Invalid wildcard expression; the expression contains an invalid escape sequence."},
        {L"abc\\", L"Invalid wildcard expression; the expression contains an invalid escape sequence."},
        {L"/(/", L"Invalid regular expression; the expression contains an unmatched '(' or ')'."},
        {L"%/[a/", L"Invalid regular expression; the expression contains an unmatched '[' or ']'."},
        {L"/a{2,1}/", L"Invalid regular expression; the expression contains an invalid count in a { } expression."},
        {L"/[z-a]/", L"Invalid regular expression; the expression contains an invalid character range specifier."},
        {L"ads\r\nmore", L"Invalid filter syntax."},
        // Syntax is checked first, then the body.
        {L"/(/\n", L"Invalid filter syntax."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.text)));
        g_balloons.clear();
        SetText(c.text);
        EXPECT_EQ(Validate(), L"<null>");
        ASSERT_EQ(g_balloons.size(), 1u);
        EXPECT_EQ(g_balloons[0].text, c.balloon);
        EXPECT_EQ(g_balloons[0].size, sizeof(EDITBALLOONTIP));
        EXPECT_FALSE(g_balloons[0].hasTitle);
        EXPECT_EQ(g_balloons[0].icon, TTI_NONE);
    }
}

TEST_F(FilterEditTest, InvalidTextLeavesControlAndStringAlone)
{
    SetText(L"x\\y");
    SendMessageW(m_edit, EM_SETSEL, 1, 2);
    std::wstring out = L"previous";
    EXPECT_FALSE(GetValidFilterText(m_edit, out));
    EXPECT_EQ(out, L"previous");
    EXPECT_FALSE(IsFilterEditValid(m_edit));
    EXPECT_EQ(g_balloons.size(), 2u);
    EXPECT_EQ(Text(), L"x\\y");
    DWORD start = 0, end = 0;
    SendMessageW(m_edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 1u);
    EXPECT_EQ(end, 2u);
}

TEST_F(FilterEditTest, HugeExpressionsAreCompiledSafely)
{
    // Nesting this deep overflows a normal stack inside the library's
    // compiler; the validation must answer instead of crashing.
    const std::wstring nested = L"/" + std::wstring(29999, L'(') + L"a" + std::wstring(29999, L')') + L"/";
    SetText(nested);
    EXPECT_EQ(Validate(), nested);

    SetText(L"/" + std::wstring(60000, L'(') + L"/");
    EXPECT_EQ(Validate(), L"<null>");
    ASSERT_EQ(g_balloons.size(), 1u);
    EXPECT_EQ(g_balloons[0].text, L"Invalid regular expression; the expression contains an unmatched '(' or ')'.");

    // A body over 65535 units cannot be stored at all.
    g_balloons.clear();
    SetText(L"/" + std::wstring(65536, L'a') + L"/");
    EXPECT_EQ(Validate(), L"<null>");
    ASSERT_EQ(g_balloons.size(), 1u);
    EXPECT_EQ(g_balloons[0].text, L"Invalid filter syntax.");
}
