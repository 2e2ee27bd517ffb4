// Pictures of the dialogs for a person to look at (tools/pictures.sh runs
// this role under Xvfb): each dialog is opened through the shipped library,
// brought into the state worth showing, and its screen area saved as PNG.
// Nothing here asserts anything.

#include <windows.h>
#include <commctrl.h>
#include <wincodec.h>

#include <cstdio>
#include <string>

#include "com/ComPtr.h"
#include "engine/FilterEdit.h"
#include "resources/ResourceIds.h"
#include "tests/support/Roles.h"
#include "tests/ui/DialogSession.h"

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

// Draws a balloon-like note with text under `anchor` (screen rectangle),
// inside a picture whose top-left corner is at `origin` on the screen.
void DrawBalloonNote(HDC dc, POINT origin, const RECT& anchor, const std::wstring& text)
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    HFONT font = CreateFontIndirectW(&metrics.lfStatusFont);
    HGDIOBJ oldFont = SelectObject(dc, font);
    std::wstring note = text + L"\n(the balloon text the edit box was asked to show; Wine draws no balloon)";
    RECT box = {anchor.left - origin.x + 10, anchor.bottom - origin.y + 6, anchor.right - origin.x, 0};
    RECT measure = box;
    DrawTextW(dc, note.c_str(), -1, &measure, DT_CALCRECT | DT_WORDBREAK);
    box.bottom = measure.bottom + 12;
    box.right = (measure.right > box.right ? measure.right : box.right) + 12;
    HBRUSH fill = CreateSolidBrush(GetSysColor(COLOR_INFOBK));
    HGDIOBJ oldBrush = SelectObject(dc, fill);
    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(BLACK_PEN));
    RoundRect(dc, box.left, box.top, box.right, box.bottom, 10, 10);
    POINT tail[3] = {{box.left + 12, box.top + 1}, {box.left + 20, box.top + 1}, {box.left + 12, box.top - 7}};
    Polygon(dc, tail, 3);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_INFOTEXT));
    RECT inner = {box.left + 6, box.top + 6, box.right - 6, box.bottom - 6};
    DrawTextW(dc, note.c_str(), -1, &inner, DT_WORDBREAK);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldFont);
    DeleteObject(fill);
    DeleteObject(font);
}

// Saves the screen area of `window` (grown to fit a note under `noteAnchor`).
bool Capture(HWND window, const std::wstring& path, const RECT* noteAnchor = nullptr,
             const std::wstring& note = std::wstring())
{
    Sleep(1500);  // let every control paint
    RECT area = {};
    GetWindowRect(window, &area);
    if (noteAnchor)
        area.bottom += 70;
    int width = area.right - area.left;
    int height = area.bottom - area.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(memory, bitmap);
    RECT all = {0, 0, width, height};
    FillRect(memory, &all, GetSysColorBrush(COLOR_APPWORKSPACE));
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    if (noteAnchor)
        DrawBalloonNote(memory, POINT{area.left, area.top}, *noteAnchor, note);
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
    RECT anchor = {};
    GetWindowRect(edit, &anchor);
    ok = Capture(dialog, folder + L"\\settings-invalid-filter.png", &anchor, balloons.Texts().back()) && ok;
    CloseThreadDialogs(session.GetThreadId());
    HRESULT hr = E_FAIL;
    session.Finish(&hr);
    return ok ? 0 : 1;
}

QUELLAN_TEST_ROLE(Pictures)
{
    if (args.size() != 1)
        return 2;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int result = SettingsPictures(args[0]);
    CoUninitialize();
    return result;
}

}  // namespace
