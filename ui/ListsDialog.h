#pragma once
// CListsDialog: the user's Adblock lists (storage/AdblockListStore.h), one
// row per list with its on/off check box, name, source, filter count, last
// update and the result of its last check with the next one due.
//
// Modal over template 112; Close, Escape and the close box end it (result
// IDCANCEL). Each action writes the store at once, as QuellanCtl's "lists"
// commands do, and the rows are read again from the store afterwards:
// checking or unchecking a row turns the list on or off (it stays stored);
// Remove (or Delete) removes the selected list without asking, as the
// settings dialog removes filters. Add... asks for an address or path (or a
// file picked through the broker's file dialog) and fetches it; Update Now
// checks the selected list, or every list with a source when none is
// selected. Fetches run on a worker thread of their own, one at a time:
// Add... and Update Now stay disabled until it posts its result back, and
// the dialog keeps answering meanwhile. A fetch still running when the
// dialog closes completes on its own and keeps the module loaded until it
// ends. Failures are told in a message box, worded as QuellanCtl words them;
// a failed check also shows in its row.
//
// Runs on the calling thread, which must have COM initialised for the file
// dialog.

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "com/Dialog.h"
#include "resources/ResourceIds.h"

class CListsDialog final : public CDialogImpl<CListsDialog>
{
public:
    static constexpr UINT IDD = IDD_LISTS;

    CListsDialog() noexcept;
    ~CListsDialog() override;

    // What a fetch of the worker thread does and what came of it; shared by
    // the dialog and the worker.
    struct CJob;

protected:
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    void OnInitDialog();
    bool OnListNotify(const NMHDR& header);
    // Reads the catalog and shows it, keeping the selected list selected.
    void Refresh();
    void SetEnabled(int row, bool enabled);
    void RemoveSelected();
    void Add();
    void UpdateNow();
    // Starts the job on a worker; false (the user told) when it cannot.
    bool Start(std::shared_ptr<CJob> job);
    void OnJobDone();
    void UpdateButtons() noexcept;

    HWND List() const noexcept { return GetDlgItem(IDC_ADBLOCK_LISTS); }
    int SelectedRow() const noexcept;

    std::vector<std::wstring> m_names;  // of the rows, in row order
    std::vector<bool> m_kept;           // of the rows: kept current from a source
    bool m_filling = false;             // rows are being made: no check box is the user's
    std::shared_ptr<CJob> m_job;        // the running fetch, if any
};
