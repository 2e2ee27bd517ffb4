#pragma once
// CBlockableItemsDialog: what on one page a filter could block, one row per
// distinct URL (letter case counts) with the kind of its first element,
// greyed while the user's filter list blocks it; "Add Mask..." turns the
// selected URL into a filter through the Add Filter dialog.
//
// Modal over template 108; Close, Escape and the close box end it (result
// IDC_CLOSE). The page is read once, at initialisation, on the calling
// thread, which must own the document. A page that cannot be read, or only
// in part, is told in a message box; the rows found so far stay. Every row
// repaint asks the current filter list store, so a row turns grey as soon
// as a filter blocks it.

#include <windows.h>
#include <commctrl.h>
#include <oaidl.h>

#include "com/ComPtr.h"
#include "com/Dialog.h"
#include "resources/ResourceIds.h"

class CBlockableItemsDialog final : public CDialogImpl<CBlockableItemsDialog>
{
public:
    static constexpr UINT IDD = IDD_BLOCKABLE_ITEMS;

    // Holds a reference to document for the dialog's life.
    explicit CBlockableItemsDialog(IDispatch* document) noexcept;

protected:
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void OnInitDialog();
    // Lists the page's items; throws what the page scan throws, keeping the
    // rows already made.
    void Fill();
    LRESULT OnCustomDraw(NMLVCUSTOMDRAW& draw) const;
    void AddMask();

    HWND List() const noexcept { return GetDlgItem(IDC_ITEM_LIST); }

    CComPtr<IDispatch> m_document;
    std::wstring m_pageUrl;  // the items' page, as the browser shows it; empty when unknown
};
