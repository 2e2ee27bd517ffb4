#pragma once
// CSettingsDialog: the user's filter list and the two options.
//
// Modal over template 103; result IDOK or IDCANCEL. Everything the user does
// changes the dialog's own list and check boxes; Apply (or OK while Apply is
// enabled) writes them: the options to the settings store and the process's
// SessionDisabled flag, the list to the filter list store as a whole. Store
// locks are held only while loading and applying, never while waiting for
// the user. Import and export go through the broker, which shows the file
// dialog and hands back an open file.
//
// Failures are told in a message box: a store that cannot be read closes the
// dialog at once (nothing is lost); one that cannot be written keeps the
// dialog open with Apply enabled; a file that is not an Adblock list changes
// nothing. Runs on the calling thread, which must have COM initialised for
// import and export.

#include <windows.h>

#include <iosfwd>
#include <string>
#include <vector>

#include "com/Dialog.h"
#include "resources/ResourceIds.h"

class CSettingsDialog final : public CDialogImpl<CSettingsDialog>
{
public:
    static constexpr UINT IDD = IDD_SETTINGS;

    CSettingsDialog() noexcept = default;

protected:
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    bool OnCommand(WORD id, WORD code);
    bool OnListNotify(const NMHDR& header, LRESULT& result);
    void OnInitDialog();

    void Load();
    // Makes the list exactly these items, unselected, as one change that
    // the dialog does not see item by item.
    void ShowFilters(const std::vector<std::wstring>& texts);
    // True when everything pending was written; otherwise the user has been
    // told and what failed stays pending.
    bool Apply();
    // False (the user told) when an item is not a storable filter; throws
    // what the store throws.
    bool ApplyList();
    void Add();
    void RemoveSelected();
    void Sort();
    void MoveSelected(bool up);
    void SwapItems(int first, int second);
    void TransferFile(bool import);
    void ImportFrom(std::istream& file);
    void ExportTo(std::ostream& file);

    void MarkListChanged() noexcept;
    void ScheduleButtonUpdate() noexcept;
    void UpdateButtons() noexcept;
    void ResetColumnWidth() noexcept;

    bool OnListMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    bool OnLabelEditMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
    void AttachLabelEdit();

    HWND List() const noexcept { return GetDlgItem(IDC_FILTER_LIST); }

    bool m_listChanged = false;
    bool m_optionsChanged = false;
    CWindowSubclass m_listSubclass;
    CWindowSubclass m_editSubclass;
    HWND m_labelEdit = nullptr;
    BOOL m_labelEditUnvalidated = FALSE;
    bool m_buttonUpdatePending = false;
    // The store's bytes as this dialog last loaded or applied them: Apply
    // merges rather than replaces when the store no longer holds them.
    std::vector<BYTE> m_loadedList;
    // Set while the dialog changes many items itself (CBulkChange): their
    // notifications are ignored, and the change is marked once at its end.
    bool m_bulkChange = false;

    class CBulkChange
    {
    public:
        explicit CBulkChange(CSettingsDialog& dialog) noexcept;
        ~CBulkChange();
        CBulkChange(const CBulkChange&) = delete;
        CBulkChange& operator=(const CBulkChange&) = delete;

    private:
        CSettingsDialog& m_dialog;
        bool m_wasBulk;
    };
};
