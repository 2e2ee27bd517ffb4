#pragma once
// CAddFilterDialog: turns one text (usually a page item's URL) into a filter
// and appends it at once to the user's filter list store.
//
// Modal over template 110. Result: IDOK (1) when a filter was stored,
// IDCANCEL (2) when the user cancelled (Cancel, Escape or the close box).
// Runs on the calling thread; takes the filter list store's write lock only
// for the append.

#include "com/Dialog.h"
#include "resources/ResourceIds.h"

class CAddFilterDialog final : public CDialogImpl<CAddFilterDialog>
{
public:
    static constexpr UINT IDD = IDD_ADD_FILTER;

    // initialText is not copied: it must outlive the dialog. Null is the
    // empty text.
    explicit CAddFilterDialog(const wchar_t* initialText) noexcept;

protected:
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void OnOK();

    const wchar_t* m_initialText;
};
