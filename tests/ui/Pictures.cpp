// Pictures of the dialogs for a person to look at (tools/pictures.sh runs
// this role under Xvfb): each dialog is opened through the shipped library,
// brought into the state worth showing, and its screen area saved as PNG.
// Nothing here asserts anything.

#include <windows.h>
#include <commctrl.h>
#include <wincodec.h>

#include <cstdio>
#include <string>
#include <vector>

#include "com/ComPtr.h"
#include "com/Error.h"
#include "engine/FilterEdit.h"
#include "resources/ResourceIds.h"
#include "storage/AdblockListStore.h"
#include "storage/AdblockListUpdate.h"
#include "tests/support/HttpServer.h"
#include "tests/support/Roles.h"
#include "tests/ui/DialogSession.h"
#include "tools/standin/StandInDocument.h"

namespace {

bool SavePng(HBITMAP bitmap, const std::wstring& path)
{
    CComPtr<IWICImagingFactory> factory;
    CComPtr<IWICBitmap> source;
    CComPtr<IWICStream> stream;
    CComPtr<IWICBitmapEncoder> encoder;
    CComPtr<IWICBitmapFrameEncode> frame;
    UINT width = 0;
    UINT height = 0;
    WICPixelFormatGUID format = GUID_WICPixelFormat24bppBGR;
    return SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IWICImagingFactory, factory.PutVoid())) &&
           SUCCEEDED(factory->CreateBitmapFromHBITMAP(bitmap, nullptr, WICBitmapIgnoreAlpha, source.Put())) &&
           SUCCEEDED(source->GetSize(&width, &height)) && SUCCEEDED(factory->CreateStream(stream.Put())) &&
           SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
           SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.Put())) &&
           SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
           SUCCEEDED(encoder->CreateNewFrame(frame.Put(), nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
           SUCCEEDED(frame->SetSize(width, height)) && SUCCEEDED(frame->SetPixelFormat(&format)) &&
           SUCCEEDED(frame->WriteSource(source, nullptr)) && SUCCEEDED(frame->Commit()) &&
           SUCCEEDED(encoder->Commit());
}

std::wstring WindowClass(HWND window)
{
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

// A note for a person looking at a picture: text in a balloon-like box
// below the window, tied by a line to the control it speaks of.
struct CNote
{
    HWND control;
    std::wstring text;
};

// Screen rectangles of the visible controls of `window` that a line may not
// cross (group boxes only frame others, so they do not count).
std::vector<RECT> ControlRects(HWND window)
{
    std::vector<RECT> rects;
    EnumChildWindows(
        window,
        [](HWND child, LPARAM list) CALLBACK -> BOOL {  // stdcall on i686
            bool groupBox = (GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX &&
                            WindowClass(child) == L"Button";
            if (IsWindowVisible(child) && !groupBox) {
                RECT rect = {};
                GetWindowRect(child, &rect);
                reinterpret_cast<std::vector<RECT>*>(list)->push_back(rect);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&rects));
    return rects;
}

// An x (screen) under `anchor` where a vertical line from the anchor's
// bottom to the window's bottom crosses no other control; the anchor's
// middle when there is none.
LONG FreeColumn(HWND window, HWND anchor)
{
    RECT own = {};
    GetWindowRect(anchor, &own);
    RECT frame = {};
    GetWindowRect(window, &frame);
    std::vector<RECT> rects = ControlRects(window);
    for (LONG x = own.left + 16; x < own.right - 16; x += 2) {
        bool free = true;
        for (const RECT& rect : rects) {
            bool below = rect.top >= own.bottom && rect.top < frame.bottom;
            if (below && rect.left - 6 <= x && x <= rect.right + 6)
                free = false;
        }
        if (free)
            return x;
    }
    return (own.left + own.right) / 2;
}

class CNoteFont
{
public:
    CNoteFont()
    {
        NONCLIENTMETRICSW metrics = {};
        metrics.cbSize = sizeof metrics;
        SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
        m_font = CreateFontIndirectW(&metrics.lfStatusFont);
    }
    ~CNoteFont() { DeleteObject(m_font); }
    HFONT Get() const { return m_font; }

private:
    HFONT m_font;
};

constexpr int kNoteMargin = 10;
constexpr int kNotePadding = 6;

std::wstring NoteText(const CNote& note)
{
    return note.text + L"\n(the balloon text the edit box was asked to show; Wine draws no balloon)";
}

// The height the note needs in a picture `width` pixels wide.
int NoteHeight(HDC dc, const CNote& note, int width)
{
    CNoteFont font;
    HGDIOBJ old = SelectObject(dc, font.Get());
    RECT measure = {0, 0, width - 2 * (kNoteMargin + kNotePadding), 0};
    std::wstring text = NoteText(note);
    DrawTextW(dc, text.c_str(), -1, &measure, DT_CALCRECT | DT_WORDBREAK);
    SelectObject(dc, old);
    return measure.bottom + 2 * kNotePadding + 2 * kNoteMargin;
}

// Draws the note into the band below the window (from `top` down), with a
// line up to its control. `origin` is the picture's top-left on the screen.
void DrawNote(HDC dc, POINT origin, HWND window, const CNote& note, int top, int width)
{
    CNoteFont font;
    HGDIOBJ oldFont = SelectObject(dc, font.Get());
    RECT box = {kNoteMargin, top + kNoteMargin, width - kNoteMargin, 0};
    RECT measure = {0, 0, box.right - box.left - 2 * kNotePadding, 0};
    std::wstring text = NoteText(note);
    DrawTextW(dc, text.c_str(), -1, &measure, DT_CALCRECT | DT_WORDBREAK);
    box.bottom = box.top + measure.bottom + 2 * kNotePadding;

    RECT control = {};
    GetWindowRect(note.control, &control);
    LONG x = FreeColumn(window, note.control) - origin.x;
    HPEN pen = CreatePen(PS_SOLID, 1, GetSysColor(COLOR_INFOTEXT));
    HBRUSH fill = CreateSolidBrush(GetSysColor(COLOR_INFOBK));
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, fill);
    MoveToEx(dc, x, control.bottom - origin.y + 1, nullptr);
    LineTo(dc, x, box.top);
    POINT head[3] = {{x, control.bottom - origin.y + 1}, {x - 4, control.bottom - origin.y + 8},
                     {x + 4, control.bottom - origin.y + 8}};
    Polygon(dc, head, 3);
    RoundRect(dc, box.left, box.top, box.right, box.bottom, 10, 10);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
    RECT inner = {box.left + kNotePadding, box.top + kNotePadding, box.right - kNotePadding,
                  box.bottom - kNotePadding};
    DrawTextW(dc, text.c_str(), -1, &inner, DT_WORDBREAK);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldFont);
    DeleteObject(fill);
    DeleteObject(pen);
}

// Saves the screen area of `window`, with a band below it for `note`.
bool Capture(HWND window, const std::wstring& path, const CNote* note = nullptr)
{
    Sleep(1500);  // let every control paint
    RECT area = {};
    GetWindowRect(window, &area);
    const int width = area.right - area.left;
    const int windowHeight = area.bottom - area.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    const int height = windowHeight + (note ? NoteHeight(memory, *note, width) : 0);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    RECT all = {0, 0, width, height};
    FillRect(memory, &all, GetSysColorBrush(COLOR_APPWORKSPACE));
    BitBlt(memory, 0, 0, width, windowHeight, screen, area.left, area.top, SRCCOPY);
    if (note)
        DrawNote(memory, POINT{area.left, area.top}, window, *note, windowHeight, width);
    SelectObject(memory, old);
    bool saved = SavePng(bitmap, path);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    std::printf("%s %ls\n", saved ? "wrote" : "FAILED", path.c_str());
    return saved;
}

int SettingsPictures(const std::wstring& folder)
{
    StoreFilters({L"*/ads/*", L"*doubleclick.net*", L"%*example.com/ads/house*", L"/banner[0-9]+\\.gif/",
                  L"*.swf", L"Zebra*", L"http://ads.example.org/*"});
    CDialogSession session([](IAutomation* automation) { return automation->ShowSettingsDialog(); });
    HWND dialog = WaitForDialog(session.GetThreadId(), L"Quellan Settings");
    if (!dialog)
        return 1;
    HWND list = GetDlgItem(dialog, IDC_FILTER_LIST);
    SelectOnly(list, {2});
    bool ok = Capture(dialog, folder + L"\\settings.png");

    HWND edit = GetDlgItem(dialog, IDC_FILTER_EDIT);
    CBalloonRecorder balloons;
    balloons.Attach(edit);
    PostFocus(dialog, edit);
    PostText(edit, L"/ads[/");
    WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, IDC_ADD)) != FALSE; });
    PostKey(edit, VK_RETURN);
    std::wstring text = CheckFilterText(L"/ads[/");
    balloons.WaitForText(text);
    CNote note{edit, balloons.Texts().empty() ? std::wstring(L"(no balloon was asked for)") : balloons.Texts().back()};
    ok = Capture(dialog, folder + L"\\settings-invalid-filter.png", &note) && ok;
    CloseThreadDialogs(session.GetThreadId());
    HRESULT hr = E_FAIL;
    session.Finish(&hr);
    return ok ? 0 : 1;
}

// A news page with an advertisement server among its sources; the filter
// list blocks that server, so its rows are grey.
constexpr wchar_t kNewsPage[] = LR"html(<html><head>
<script src="http://ads.example.net/serve/ad.js"></script>
<script src="scripts/site.js"></script>
</head><body style="background-image: url(images/paper.png)">
<img src="images/logo.png">
<img src="http://ads.example.net/serve/banner-468x60.gif">
<img src="photos/harbour.jpg">
<iframe src="http://ads.example.net/serve/frame.html?slot=side"></iframe>
<object classid="clsid:D27CDB6E-AE6D-11cf-96B8-444553540000"><param name="movie" value="media/intro.swf"></object>
<img src="images/logo.png">
</body></html>)html";

int BlockableItemsPictures(const std::wstring& folder)
{
    StoreFilters({L"*ads.example.net/serve/*", L"*.swf"});
    CDialogSession session([](IAutomation* automation) {
        CComPtr<IHTMLDocument2> document = CreateStandInDocument(kNewsPage, L"http://news.example.com/today.html");
        return automation->ShowBlockableItemsDialog(document);
    });
    HWND dialog = WaitForDialogWith(session.GetThreadId(), L"Blockable Items", IDC_ITEM_LIST);
    if (!dialog)
        return 1;
    HWND list = GetDlgItem(dialog, IDC_ITEM_LIST);
    SelectOnly(list, {3});
    PostFocus(dialog, list);
    bool ok = Capture(dialog, folder + L"\\blockable-items.png");

    PostClick(GetDlgItem(dialog, IDC_ADD_MASK));
    HWND addFilter = WaitForDialog(session.GetThreadId(), L"Add Filter", dialog);
    ok = addFilter && Capture(addFilter, folder + L"\\add-filter.png") && ok;
    CloseThreadDialogs(session.GetThreadId());
    HRESULT hr = E_FAIL;
    session.Finish(&hr);
    return ok ? 0 : 1;
}

// Three lists: one kept current from a server, one whose last check
// failed, one of the user's own turned off.
int ListsPictures(const std::wstring& folder)
{
    { CUserStoreReset clean; }
    CUserStoreReset reset;
    CHttpServer server;
    server.Serve("/easylist.txt", "[Adblock Plus 2.0]\n! Title: EasyList Sample\n! Expires: 4 days\n"
                                  "||ads.example.net^\n||doubleclick.example^$third-party\n##.banner-ad\n"
                                  "example.com##.sponsored\n@@||ads.example.net/consent.js\n");
    server.Serve("/regional.txt", "[Adblock Plus 2.0]\n! Title: Regional Sample\n||werbung.example^\n"
                                  "/anzeigen/*\n");
    HRESULT hr = CallAtBoundary([&] {
        CAdblockListStore& store = GetAdblockListStore();
        AddAdblockListFromSource(store, server.Url(L"/easylist.txt"));
        AddAdblockListFromSource(store, server.Url(L"/regional.txt"));
        CHttpServer::CResponse gone;
        gone.status = 404;
        server.Serve("/regional.txt", gone);
        UpdateAdblockLists(store, L"Regional Sample", false);
        StoreAdblockList("[Adblock]\n! Title: My Own Rules\n||tracker.example^\n");
        store.SetEnabled(L"My Own Rules", false);
    });
    if (FAILED(hr))
        return 1;
    CDialogSession session([](IAutomation* automation) { return automation->ShowSettingsDialog(); });
    HWND settings = WaitForDialog(session.GetThreadId(), L"Quellan Settings");
    if (!settings)
        return 1;
    PostClick(GetDlgItem(settings, IDC_LISTS));
    HWND dialog = WaitForDialog(session.GetThreadId(), L"Adblock Lists", settings);
    if (!dialog)
        return 1;
    HWND list = GetDlgItem(dialog, IDC_ADBLOCK_LISTS);
    SelectOnly(list, {1});
    PostFocus(dialog, list);
    bool ok = Capture(dialog, folder + L"\\lists.png");
    PostClick(GetDlgItem(dialog, IDC_ADD));
    HWND prompt = WaitForDialog(session.GetThreadId(), L"Add Adblock List", dialog);
    if (prompt) {
        const std::wstring source = L"https://easylist.example/easylist.txt";
        SendMessageW(GetDlgItem(prompt, IDC_LIST_SOURCE), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(source.c_str()));
    }
    ok = prompt && Capture(prompt, folder + L"\\add-list.png") && ok;
    CloseThreadDialogs(session.GetThreadId());
    session.Finish(&hr);
    return ok ? 0 : 1;
}

QUELLAN_TEST_ROLE(Pictures)
{
    if (args.size() != 1)
        return 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int result = SettingsPictures(args[0]);
    result = BlockableItemsPictures(args[0]) || result;
    result = ListsPictures(args[0]) || result;
    CoUninitialize();
    return result;
}

}  // namespace
