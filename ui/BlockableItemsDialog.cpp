#include "ui/BlockableItemsDialog.h"

#include <string>
#include <unordered_set>

#include "browser/Behavior.h"
#include "browser/PageScan.h"
#include "com/Bstr.h"
#include "com/Error.h"
#include "ui/AddFilterDialog.h"
#include "ui/ListViewText.h"
#include "verdict/RequestVerdict.h"

namespace {

// Posted to the dialog once it is up: tell the user that the page could not
// be read whole (wParam: the HRESULT).
constexpr UINT kReportScanFailureMessage = WM_APP + 1;

constexpr int kTypeColumnWidth = 80;

void InsertColumn(HWND list, int index, const wchar_t* title, int width) noexcept
{
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(title);
    column.cx = width;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

}  // namespace

CBlockableItemsDialog::CBlockableItemsDialog(IDispatch* document) noexcept : m_document(document) {}

bool CBlockableItemsDialog::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog();
        result = TRUE;
        return true;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED)
            return false;
        switch (LOWORD(wParam)) {
        case IDC_CLOSE:
        case IDCANCEL:  // Escape and the close box
            EndDialog(IDC_CLOSE);
            return true;
        case IDC_ADD_MASK:
            AddMask();
            return true;
        default:
            return false;
        }
    case WM_NOTIFY: {
        const auto& header = *reinterpret_cast<const NMHDR*>(lParam);
        if (header.idFrom != IDC_ITEM_LIST || header.code != NM_CUSTOMDRAW)
            return false;
        result = OnCustomDraw(*reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
        return true;
    }
    case kReportScanFailureMessage:
        // Over the dialog, which the modal loop may not have shown yet.
        ShowWindow(m_hWnd, SW_SHOW);
        ShowFailureMessage(m_hWnd, L"Quellan could not read every item of this page; the list shows those it found",
                           static_cast<HRESULT>(wParam));
        return true;
    default:
        return false;
    }
}

void CBlockableItemsDialog::OnInitDialog()
{
    CenterOnOwner();
    HWND list = List();
    SendMessageW(list, CCM_SETVERSION, 6, 0);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP,
                 LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
    InsertColumn(list, 0, L"URL", -1);
    InsertColumn(list, 1, L"Type", kTypeColumnWidth);
    HRESULT hr = CallAtBoundary([this] { Fill(); });
    RECT client = {};
    GetClientRect(list, &client);
    const int typeWidth = static_cast<int>(SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0));
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(LOWORD(client.right - client.left - typeWidth), 0));
    if (FAILED(hr))
        PostMessageW(m_hWnd, kReportScanFailureMessage, static_cast<WPARAM>(hr), 0);
}

void CBlockableItemsDialog::Fill()
{
    HWND list = List();
    CComPtr<IHTMLDocument2> document2;
    CComBSTR pageUrl;
    if (m_document && SUCCEEDED(m_document->QueryInterface(IidOf<IHTMLDocument2>(), document2.PutVoid())) &&
        document2 && SUCCEEDED(document2->get_URL(pageUrl.Put())))
        m_pageUrl = BstrText(pageUrl);
    CPageScan scan(m_document);
    std::unordered_set<std::wstring> listed;
    int row = 0;
    while (CBlockableItemPtr item = scan.NextItem()) {
        std::wstring url = BstrText(item->GetUrl());
        if (!listed.insert(url).second)
            continue;
        LVITEMW insert = {};
        insert.mask = LVIF_TEXT;
        insert.iItem = row;
        insert.pszText = &url[0];
        if (SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)) < 0)
            ThrowHResult(E_OUTOFMEMORY);
        std::wstring type = BstrText(item->GetType());
        LVITEMW typeText = {};
        typeText.mask = LVIF_TEXT;
        typeText.iItem = row;
        typeText.iSubItem = 1;
        typeText.pszText = &type[0];
        SendMessageW(list, LVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&typeText));
        ++row;
    }
}

LRESULT CBlockableItemsDialog::OnCustomDraw(NMLVCUSTOMDRAW& draw) const
{
    switch (draw.nmcd.dwDrawStage) {
    case CDDS_PREPAINT:
        return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: {
        bool blocked = false;
        // A URL that cannot be judged (it cannot be canonicalized, or the
        // store cannot be read) is drawn as usual: the list stays usable.
        CallAtBoundary([&] {
            // As the element behavior judges it: with its page and its kind.
            const int row = static_cast<int>(draw.nmcd.dwItemSpec);
            const std::wstring url = GetListItemText(List(), row);
            const std::wstring kind = GetListItemText(List(), row, 1);
            RequestContext request;
            request.url = url.c_str();
            request.pageUrl = m_pageUrl.empty() ? nullptr : m_pageUrl.c_str();
            request.type = RequestTypeOfItemKind(kind.c_str());
            blocked = !IsRequestAllowed(request);
        });
        if (!blocked)
            return CDRF_DODEFAULT;
        draw.clrText = GetSysColor(COLOR_GRAYTEXT);
        return CDRF_NEWFONT;
    }
    default:
        return CDRF_DODEFAULT;
    }
}

void CBlockableItemsDialog::AddMask()
{
    HWND list = List();
    const int selected = static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    const std::wstring text = selected >= 0 ? GetListItemText(list, selected) : std::wstring();
    {
        CAddFilterDialog dialog(text.c_str());
        dialog.DoModal(m_hWnd);
    }
    // Rows that the new filter blocks turn grey now.
    InvalidateRect(list, nullptr, FALSE);
    UpdateWindow(list);
    SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(list), TRUE);
}
