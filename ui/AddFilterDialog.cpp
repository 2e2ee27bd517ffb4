#include "ui/AddFilterDialog.h"

#include <string>

#include "com/Error.h"
#include "ui/FilterEdit.h"
#include "engine/FilterRule.h"
#include "storage/FilterListStore.h"

CAddFilterDialog::CAddFilterDialog(const wchar_t* initialText) noexcept
    : m_initialText(initialText ? initialText : L"")
{
}

bool CAddFilterDialog::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result)
{
    switch (message) {
    case WM_INITDIALOG:
        CenterOnOwner();
        // WM_SETTEXT raises EN_CHANGE, which enables OK for a non-empty text.
        SendMessageW(GetDlgItem(IDC_FILTER_EDIT), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(m_initialText));
        result = TRUE;
        return true;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            if (HIWORD(wParam) != BN_CLICKED)
                return false;
            OnOK();
            return true;
        case IDCANCEL:
            if (HIWORD(wParam) != BN_CLICKED)
                return false;
            EndDialog(IDCANCEL);
            return true;
        case IDC_FILTER_EDIT:
            if (HIWORD(wParam) != EN_CHANGE)
                return false;
            EnableDlgItem(IDOK, GetWindowTextLengthW(GetDlgItem(IDC_FILTER_EDIT)) > 0);
            return true;
        default:
            return false;
        }
    default:
        return false;
    }
}

void CAddFilterDialog::OnOK()
{
    std::wstring text;
    if (!GetValidFilterText(GetDlgItem(IDC_FILTER_EDIT), text))
        return;  // the balloon tells why; the text stays for correction
    FilterRule* parsed = nullptr;
    if (!ParseFilter(text.c_str(), &parsed))
        return;  // validated text always parses
    CFilterRulePtr rule(parsed);
    HRESULT hr = CallAtBoundary([&] {
        CStoreWriter writer(GetFilterListStore());
        AppendRecord(writer, *rule);
    });
    if (FAILED(hr)) {
        // The dialog stays open with the text, so the user can try again.
        ShowFailureMessage(m_hWnd, L"The filter could not be added to the filter list", hr);
        return;
    }
    EndDialog(IDOK);
}
