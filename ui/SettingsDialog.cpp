#include "ui/SettingsDialog.h"

#include <commctrl.h>
#include <objbase.h>

#include <algorithm>
#include <cstring>
#include <istream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "broker/CreateBroker.h"
#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/Trace.h"
#include "engine/AdblockFormat.h"
#include "ui/FilterEdit.h"
#include "engine/FilterRule.h"
#include "resources/QuellanLib.h"
#include "storage/File.h"
#include "storage/FilterListStore.h"
#include "storage/SettingsStore.h"
#include "ui/FilterListMerge.h"
#include "ui/FilterListTransfer.h"
#include "ui/ListViewText.h"
#include "ui/ListsDialog.h"

namespace {

// Posted to the dialog: re-evaluate the buttons once after a burst of list
// changes (selecting or deselecting many items notifies once per item).
constexpr UINT kUpdateButtonsMessage = WM_APP + 1;
// Posted to the dialog: the label editor was opened while the list did not
// have the focus, so the list saw no WM_KILLFOCUS to attach to it.
constexpr UINT kAttachLabelEditMessage = WM_APP + 2;

bool IsChecked(HWND button) noexcept
{
    return SendMessageW(button, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

int ItemCount(HWND list) noexcept
{
    return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
}

bool IsSelected(HWND list, int item) noexcept
{
    return SendMessageW(list, LVM_GETITEMSTATE, static_cast<WPARAM>(item), LVIS_SELECTED) & LVIS_SELECTED;
}

int NextItem(HWND list, int start, UINT flags) noexcept
{
    return static_cast<int>(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(start), flags));
}

void SetSelected(HWND list, int item, bool selected) noexcept
{
    LVITEMW state = {};
    state.stateMask = LVIS_SELECTED;
    state.state = selected ? LVIS_SELECTED : 0;
    SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&state));
}

void SetItemText(HWND list, int item, const std::wstring& text) noexcept
{
    LVITEMW change = {};
    change.iSubItem = 0;
    change.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&change));
}

// The texts of the records of a copy of the filter list store.
std::vector<std::wstring> FilterTexts(const std::vector<BYTE>& list)
{
    std::vector<std::wstring> texts;
    CFilterRecordCursor cursor(list.data(), static_cast<DWORD>(list.size()));
    while (const FilterRule* rule = cursor.Next())
        texts.push_back(FilterToText(*rule));
    return texts;
}

// Redrawing off for a burst of changes to a long list, back on (and the
// whole list repainted) however the burst ends.
class CRedrawOff
{
public:
    explicit CRedrawOff(HWND window) noexcept : m_window(window) { SendMessageW(m_window, WM_SETREDRAW, FALSE, 0); }
    ~CRedrawOff()
    {
        SendMessageW(m_window, WM_SETREDRAW, TRUE, 0);
        InvalidateRect(m_window, nullptr, TRUE);
    }
    CRedrawOff(const CRedrawOff&) = delete;
    CRedrawOff& operator=(const CRedrawOff&) = delete;

private:
    HWND m_window;
};

}  // namespace

CSettingsDialog::CBulkChange::CBulkChange(CSettingsDialog& dialog) noexcept
    : m_dialog(dialog), m_wasBulk(dialog.m_bulkChange)
{
    m_dialog.m_bulkChange = true;
    if (!m_wasBulk)
        SendMessageW(m_dialog.List(), WM_SETREDRAW, FALSE, 0);
}

CSettingsDialog::CBulkChange::~CBulkChange()
{
    m_dialog.m_bulkChange = m_wasBulk;
    if (m_wasBulk)
        return;
    HWND list = m_dialog.List();
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

CSettingsDialog::CDirectList::CDirectList(CSettingsDialog& dialog) noexcept
    : m_dialog(dialog)
{
    // The subclass finds its object through a window property, which costs
    // a round trip to the server per message under Wine: seconds for a list
    // of tens of thousands. None of these messages is one it handles. Only
    // while it heads the list's chain: taken out from under a later
    // subclass, it would cut the list view's own procedure off.
    HWND list = dialog.List();
    m_paused = dialog.m_listSubclass.GetWindow() == list &&
               GetWindowLongPtrW(list, GWLP_WNDPROC) == dialog.m_listSubclassProcedure;
    if (m_paused)
        m_dialog.m_listSubclass.Remove();
}

CSettingsDialog::CDirectList::~CDirectList()
{
    if (!m_paused)
        return;
    HRESULT hr = CallAtBoundary([this] { m_dialog.InstallListSubclass(); });
    if (FAILED(hr))
        TraceFailure(hr, "the filter list's subclass could not be put back; label edits go unchecked");
}

bool CSettingsDialog::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog();
        result = TRUE;
        return true;
    case WM_DESTROY:
        // The list view deletes its items after this: one notification per
        // item of a long list would only keep the user waiting.
        m_bulkChange = true;
        return false;
    case WM_COMMAND:
        return OnCommand(LOWORD(wParam), HIWORD(wParam));
    case WM_NOTIFY: {
        const auto& header = *reinterpret_cast<const NMHDR*>(lParam);
        if (header.idFrom != IDC_FILTER_LIST)
            return false;
        return OnListNotify(header, result);
    }
    case kUpdateButtonsMessage:
        m_buttonUpdatePending = false;
        UpdateButtons();
        ResetColumnWidth();
        return true;
    case kAttachLabelEditMessage:
        if (m_labelEdit && !m_editSubclass.GetWindow()) {
            AttachLabelEdit();
            if (GetFocus() == m_labelEdit)
                m_labelEditUnvalidated = TRUE;
        }
        return true;
    default:
        return false;
    }
}

void CSettingsDialog::OnInitDialog()
{
    CenterOnOwner();
    HWND list = List();
    InstallListSubclass();
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP,
                 LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
    LVCOLUMNW column = {};
    SendMessageW(list, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&column));
    HRESULT hr = CallAtBoundary([this] { Load(); });
    if (FAILED(hr)) {
        // Applying a list that was not read whole would lose filters: close.
        ShowFailureMessage(m_hWnd, L"Quellan could not read its settings and filter list", hr);
        EndDialog(IDCANCEL);
        return;
    }
    ResetColumnWidth();
}

void CSettingsDialog::Load()
{
    {
        CStoreReader settings(GetSettingsStore());
        SendMessageW(GetDlgItem(IDC_REMOVE_BLOCKED_ITEMS), BM_SETCHECK,
                     GetRemoveBlockedItems(settings) ? BST_CHECKED : BST_UNCHECKED, 0);
        SendMessageW(GetDlgItem(IDC_SESSION_DISABLED), BM_SETCHECK,
                     IsSessionDisabled(settings) ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    m_optionsChanged = false;

    {
        CStoreReader filters(GetFilterListStore());
        m_loadedList.assign(filters.GetView(), filters.GetView() + filters.GetViewSize());
    }
    ShowFilters(FilterTexts(m_loadedList));
    m_listChanged = false;
    EnableDlgItem(IDC_APPLY, false);
}

void CSettingsDialog::ShowFilters(const std::vector<std::wstring>& texts)
{
    // One item at a time, each repainted, scrolled and reported to this
    // dialog, costs seconds for a list of tens of thousands under the
    // platform's list view: the count is set once, redrawing is off, and
    // the dialog ignores the insertions while they happen.
    HWND list = List();
    CDirectList direct(*this);
    CBulkChange bulk(*this);
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    SendMessageW(list, LVM_SETITEMCOUNT, texts.size(), LVSICF_NOINVALIDATEALL);
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    for (const std::wstring& text : texts) {
        item.pszText = const_cast<wchar_t*>(text.c_str());
        if (SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)) < 0)
            ThrowHResult(E_OUTOFMEMORY);
        ++item.iItem;
    }
}

bool CSettingsDialog::OnCommand(WORD id, WORD code)
{
    if (id == IDC_FILTER_EDIT) {
        switch (code) {
        case EN_CHANGE:
            EnableDlgItem(IDC_ADD, GetWindowTextLengthW(GetDlgItem(IDC_FILTER_EDIT)) > 0);
            return true;
        case EN_SETFOCUS:
            // Enter in the edit box adds the filter.
            SendMessageW(m_hWnd, DM_SETDEFID, IDC_ADD, 0);
            return true;
        case EN_KILLFOCUS:
            SendMessageW(m_hWnd, DM_SETDEFID, IDOK, 0);
            return true;
        default:
            return false;
        }
    }
    if (code != BN_CLICKED)
        return false;
    switch (id) {
    case IDOK:
        if (IsWindowEnabled(GetDlgItem(IDC_APPLY)) && !Apply())
            return true;  // keep the dialog, and the changes, for another try
        EndDialog(IDOK);
        return true;
    case IDCANCEL:
        EndDialog(IDCANCEL);
        return true;
    case IDC_APPLY:
        Apply();
        return true;
    case IDC_IMPORT:
        TransferFile(true);
        return true;
    case IDC_EXPORT:
        TransferFile(false);
        return true;
    case IDC_LISTS: {
        CListsDialog lists;
        lists.DoModal(m_hWnd);
        return true;
    }
    case IDC_SORT:
        Sort();
        return true;
    case IDC_ADD:
        Add();
        return true;
    case IDC_REMOVE:
        RemoveSelected();
        return true;
    case IDC_MOVE_DOWN:
        MoveSelected(false);
        return true;
    case IDC_MOVE_UP:
        MoveSelected(true);
        return true;
    case IDC_SESSION_DISABLED:
    case IDC_REMOVE_BLOCKED_ITEMS:
        m_optionsChanged = true;
        EnableDlgItem(IDC_APPLY, true);
        return true;
    default:
        return false;
    }
}

bool CSettingsDialog::OnListNotify(const NMHDR& header, LRESULT& result)
{
    if (m_bulkChange && (header.code == LVN_INSERTITEM || header.code == LVN_DELETEITEM ||
                         header.code == LVN_ITEMCHANGED || header.code == LVN_DELETEALLITEMS)) {
        // Whoever made the change sets the state once it is complete. TRUE
        // to LVN_DELETEALLITEMS spares a notification per item.
        result = header.code == LVN_DELETEALLITEMS ? TRUE : 0;
        return true;
    }
    switch (header.code) {
    case LVN_INSERTITEM:
    case LVN_DELETEITEM:
        MarkListChanged();
        return true;
    case LVN_ITEMCHANGED: {
        const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
        if (change.uChanged & LVIF_TEXT)
            MarkListChanged();
        ScheduleButtonUpdate();
        return true;
    }
    case LVN_KEYDOWN:
        if (reinterpret_cast<const NMLVKEYDOWN&>(header).wVKey == VK_DELETE)
            RemoveSelected();
        return true;
    case LVN_BEGINLABELEDITW: {
        const auto& info = reinterpret_cast<const NMLVDISPINFOW&>(header);
        HWND edit = reinterpret_cast<HWND>(SendMessageW(List(), LVM_GETEDITCONTROL, 0, 0));
        if (edit) {
            // The list view's own label limit would cut long filters.
            SendMessageW(edit, EM_LIMITTEXT, 0, 0);
            std::wstring text = GetListItemText(List(), info.item.iItem);
            SetWindowTextW(edit, text.c_str());
            m_editSubclass.Remove();
            m_labelEdit = edit;
            if (GetFocus() != List())
                PostMessageW(m_hWnd, kAttachLabelEditMessage, 0, 0);
        }
        result = FALSE;
        return true;
    }
    case LVN_ENDLABELEDITW:
        // Kept only when Enter or a click in the list validated it.
        result = m_labelEditUnvalidated ? FALSE : TRUE;
        // Wine's list view puts the editor's own procedure back before it
        // destroys the editor, so WM_NCDESTROY may never reach ours: the
        // edit is over here.
        m_editSubclass.Remove();
        m_labelEdit = nullptr;
        return true;
    default:
        return false;
    }
}

void CSettingsDialog::InstallListSubclass()
{
    HWND list = List();
    m_listSubclass.Install(list, [this](HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
        return OnListMessage(window, message, wParam, lParam, result);
    });
    m_listSubclassProcedure = GetWindowLongPtrW(list, GWLP_WNDPROC);
}

bool CSettingsDialog::OnListMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT& result)
{
    switch (message) {
    case WM_KILLFOCUS:
        // The focus goes to the label editor, which the list view has
        // subclassed by now: put ours in front of it.
        if (m_labelEdit && !m_editSubclass.GetWindow())
            AttachLabelEdit();
        return false;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
        if (!m_labelEdit)
            return false;
        if (IsFilterEditValid(m_labelEdit)) {
            m_labelEditUnvalidated = FALSE;
            return false;  // the click ends the edit, which is kept
        }
        result = 0;  // the editor stays open with the balloon
        return true;
    default:
        return false;
    }
}

void CSettingsDialog::AttachLabelEdit()
{
    m_editSubclass.Install(m_labelEdit,
                           [this](HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
                               return OnLabelEditMessage(window, message, wParam, lParam, result);
                           });
}

bool CSettingsDialog::OnLabelEditMessage(HWND window, UINT message, WPARAM wParam, LPARAM, LRESULT& result)
{
    switch (message) {
    case WM_SETFOCUS:
        m_labelEditUnvalidated = TRUE;
        return false;
    case WM_NCDESTROY:
        m_labelEdit = nullptr;
        return false;
    case WM_KEYDOWN:
        if (wParam != VK_RETURN)
            return false;
        if (!IsFilterEditValid(window)) {
            result = 0;
            return true;
        }
        m_labelEditUnvalidated = FALSE;
        return false;
    default:
        return false;
    }
}

void CSettingsDialog::MarkListChanged() noexcept
{
    m_listChanged = true;
    EnableDlgItem(IDC_APPLY, true);
}

void CSettingsDialog::ScheduleButtonUpdate() noexcept
{
    if (m_buttonUpdatePending)
        return;
    m_buttonUpdatePending = PostMessageW(m_hWnd, kUpdateButtonsMessage, 0, 0) != FALSE;
    if (!m_buttonUpdatePending) {
        UpdateButtons();
        ResetColumnWidth();
    }
}

void CSettingsDialog::UpdateButtons() noexcept
{
    HWND list = List();
    const int count = ItemCount(list);
    const int selected = static_cast<int>(SendMessageW(list, LVM_GETSELECTEDCOUNT, 0, 0));
    EnableDlgItem(IDC_REMOVE, selected > 0);
    // Up is possible unless the selection is exactly the first k items, down
    // unless it is exactly the last k.
    bool up = false;
    for (int i = 0; i < selected && !up; ++i)
        up = !IsSelected(list, i);
    bool down = false;
    for (int i = count - selected; i < count && !down; ++i)
        down = i >= 0 && !IsSelected(list, i);
    EnableDlgItem(IDC_MOVE_UP, up);
    EnableDlgItem(IDC_MOVE_DOWN, down);
}

void CSettingsDialog::ResetColumnWidth() noexcept
{
    HWND list = List();
    RECT client = {};
    GetClientRect(list, &client);
    SendMessageW(list, LVM_SETCOLUMNWIDTH, 0, MAKELPARAM(LOWORD(client.right - client.left), 0));
}

bool CSettingsDialog::Apply()
{
    if (m_optionsChanged) {
        bool removeBlocked = IsChecked(GetDlgItem(IDC_REMOVE_BLOCKED_ITEMS));
        bool sessionDisabled = IsChecked(GetDlgItem(IDC_SESSION_DISABLED));
        HRESULT hr = CallAtBoundary([&] {
            CStoreWriter writer(GetSettingsStore());
            SetRemoveBlockedItems(writer, removeBlocked);
            SetSessionDisabled(writer, sessionDisabled);
        });
        if (FAILED(hr)) {
            ShowFailureMessage(m_hWnd, L"The options could not be saved", hr);
            return false;
        }
        m_optionsChanged = false;
    }
    if (m_listChanged) {
        bool stored = false;
        HRESULT hr = CallAtBoundary([&] { stored = ApplyList(); });
        if (FAILED(hr)) {
            ShowFailureMessage(m_hWnd, L"The filter list could not be saved", hr);
            return false;
        }
        if (!stored)
            return false;
        m_listChanged = false;
    }
    EnableDlgItem(IDC_APPLY, false);
    return true;
}

bool CSettingsDialog::ApplyList()
{
    HWND list = List();
    const int count = ItemCount(list);
    std::vector<CFilterRulePtr> rules;
    rules.reserve(static_cast<std::size_t>(count));
    {
        CDirectList direct(*this);
        for (int i = 0; i < count; ++i) {
            std::wstring text = GetListItemText(list, i);
            FilterRule* rule = nullptr;
            if (!ParseFilter(text.c_str(), &rule))
                break;
            rules.emplace_back(rule);
        }
    }
    if (rules.size() != static_cast<std::size_t>(count)) {
        // Every way into the list validates, so this is a list that was
        // changed behind the dialog's back. Storing the rest would drop the
        // item silently: show it and store nothing.
        const int bad = static_cast<int>(rules.size());
        SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(bad), FALSE);
        ShowMessage(m_hWnd, L"Filter " + std::to_wstring(bad + 1) +
                                L" cannot be stored: it contains a line break or is too long. "
                                L"Edit or remove it, then apply again.");
        return false;
    }
    std::vector<const FilterRule*> records;
    records.reserve(rules.size());
    for (const CFilterRulePtr& rule : rules)
        records.push_back(rule.get());

    std::optional<CFilterListMerge> merge;
    {
        CStoreWriter writer(GetFilterListStore());
        const BYTE* stored = writer.GetConstView();
        const DWORD storedSize = writer.GetViewSize();
        if (storedSize != m_loadedList.size() ||
            (storedSize && std::memcmp(stored, m_loadedList.data(), storedSize) != 0)) {
            // Changed elsewhere since this dialog loaded or applied it:
            // replacing it with this list would drop that change.
            std::vector<std::wstring> mine;
            mine.reserve(rules.size());
            for (const CFilterRulePtr& rule : rules)
                mine.push_back(FilterToText(*rule));
            merge = MergeFilterLists(FilterTexts(m_loadedList),
                                     mine,
                                     FilterTexts(std::vector<BYTE>(stored, stored + storedSize)));
            rules.clear();
            records.clear();
            for (const std::wstring& text : merge->merged) {
                FilterRule* rule = nullptr;
                if (!ParseFilter(text.c_str(), &rule))
                    continue;  // only texts that were records or parsed above
                rules.emplace_back(rule);
                records.push_back(rule);
            }
        }
        ReplaceAllRecords(writer, records.data(), records.data() + records.size());
        m_loadedList.assign(writer.GetConstView(), writer.GetConstView() + writer.GetViewSize());
    }
    if (merge) {
        ShowFilters(merge->merged);
        ResetColumnWidth();
        std::wstring text = L"The filter list was changed elsewhere while this dialog was open. Both changes "
                            L"were kept";
        if (merge->addedElsewhere)
            text += L": " + std::to_wstring(merge->addedElsewhere) +
                    L" filters added elsewhere now stand at the end of the list";
        if (merge->removedElsewhere)
            text += std::wstring(merge->addedElsewhere ? L", and " : L": ") +
                    std::to_wstring(merge->removedElsewhere) + L" filters removed elsewhere stay removed";
        ShowMessage(m_hWnd, text + L".");
    }
    return true;
}

void CSettingsDialog::Add()
{
    HWND edit = GetDlgItem(IDC_FILTER_EDIT);
    std::wstring text;
    if (!GetValidFilterText(edit, text))
        return;  // the balloon tells why; the text stays for correction
    AppendFilterItem(List(), text.c_str());
    SetWindowTextW(edit, L"");
    ResetColumnWidth();
}

void CSettingsDialog::RemoveSelected()
{
    HWND list = List();
    {
        CDirectList direct(*this);
        CRedrawOff redraw(list);
        for (int item; (item = NextItem(list, -1, LVNI_SELECTED)) >= 0;) {
            if (!SendMessageW(list, LVM_DELETEITEM, static_cast<WPARAM>(item), 0))
                break;
        }
    }
    ResetColumnWidth();
}

void CSettingsDialog::Sort()
{
    // Sorted here and written back, rather than with LVM_SORTITEMSEX: the
    // item indexes its callback receives mean the current positions on
    // Windows but the positions before sorting on Wine, so a callback that
    // reads texts by index sorts wrongly on one of them; and a callback that
    // reads two texts per comparison costs seconds on a long list. Items
    // carry no data to sort by instead. A selected item stays selected with
    // its text; the focus stays at its place.
    HWND list = List();
    CDirectList direct(*this);
    const auto count = static_cast<std::size_t>(ItemCount(list));
    std::vector<std::wstring> texts;
    texts.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        texts.push_back(GetListItemText(list, static_cast<int>(i)));
    std::vector<bool> selected(count, false);
    for (int i = -1; (i = NextItem(list, i, LVNI_SELECTED)) >= 0 && static_cast<std::size_t>(i) < count;)
        selected[static_cast<std::size_t>(i)] = true;
    // order[row] is the item whose text goes to row.
    std::vector<std::size_t> order(count);
    for (std::size_t i = 0; i < count; ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&texts](std::size_t a, std::size_t b) {
        return CompareOrdinal(texts[a], texts[b]) < 0;
    });
    {
        // Rows whose text stays put are left alone; the selection is cleared
        // at once and set again on the rows that carry a selected text.
        CBulkChange bulk(*this);
        SetSelected(list, -1, false);
        for (std::size_t row = 0; row < count; ++row) {
            const std::size_t from = order[row];
            if (texts[from] != texts[row])
                SetItemText(list, static_cast<int>(row), texts[from]);
            if (selected[from])
                SetSelected(list, static_cast<int>(row), true);
        }
    }
    MarkListChanged();
    ScheduleButtonUpdate();
}

void CSettingsDialog::MoveSelected(bool up)
{
    HWND list = List();
    const int count = ItemCount(list);
    if (count == 0)
        return;
    // Each selected item trades places with the unselected neighbour in the
    // direction of the move; a selected neighbour (a block that has reached
    // the end) stays, so blocks keep together.
    const UINT direction = up ? LVNI_BELOW : LVNI_ABOVE;
    int current = up ? 0 : count - 1;
    for (;;) {
        int found = NextItem(list, current, LVNI_SELECTED | direction);
        if (found < 0 || found == current)
            break;
        int neighbour = up ? found - 1 : found + 1;
        if (neighbour >= 0 && neighbour < count && !IsSelected(list, neighbour)) {
            SwapItems(found, neighbour);
            SendMessageW(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(neighbour), FALSE);
        }
        current = found;
    }
}

void CSettingsDialog::SwapItems(int first, int second)
{
    HWND list = List();
    std::wstring firstText = GetListItemText(list, first);
    std::wstring secondText = GetListItemText(list, second);
    bool firstSelected = IsSelected(list, first);
    bool secondSelected = IsSelected(list, second);
    SetItemText(list, first, secondText);
    SetItemText(list, second, firstText);
    SetSelected(list, first, secondSelected);
    SetSelected(list, second, firstSelected);
}

void CSettingsDialog::TransferFile(bool import)
{
    // The broker shows the file dialog and opens the file with the user's
    // full rights, out of process when this process may not do so itself.
    CComPtr<IBroker> broker;
    HRESULT hr = CallAtBoundary([&] { broker = CreateBroker(); });
    if (FAILED(hr)) {
        ShowFailureMessage(m_hWnd, L"The file dialog could not be shown", hr);
        return;
    }
    CFile file;
    LONG handle = 0;
    hr = import ? broker->ShowImportDialog(HandleToLong(m_hWnd), &handle)
                : broker->ShowExportDialog(HandleToLong(m_hWnd), &handle);
    if (FAILED(hr)) {
        ShowFailureMessage(m_hWnd, L"The file could not be opened", hr);
        return;
    }
    if (!handle)
        return;  // cancelled
    file.m_handle.Reset(LongToHandle(handle));
    if (import)
        ImportFrom(file);
    else
        ExportTo(file);
}

void CSettingsDialog::ImportFrom(std::istream& file)
{
    HWND list = List();
    HRESULT hr = S_OK;
    bool notAList = false;
    {
        CDirectList direct(*this);
        CRedrawOff redraw(list);
        try {
            ImportFilterList(list, file);
        } catch (int code) {
            notAList = code == kMissingAdblockHeader;
            if (!notAList)
                hr = E_FAIL;
        } catch (...) {
            hr = HResultFromCurrentException();
        }
    }
    ResetColumnWidth();
    if (notAList) {
        ShowMessage(m_hWnd, L"The file is not an Adblock filter list: its first line must be a header such as "
                            L"\"[Adblock]\". Nothing was imported.");
    } else if (FAILED(hr)) {
        ShowFailureMessage(m_hWnd, L"The file could not be read to its end; the filters read before the error "
                                   L"were added",
                           hr);
    }
}

void CSettingsDialog::ExportTo(std::ostream& file)
{
    CAdblockExportResult result;
    HRESULT hr = CallAtBoundary([&] {
        CDirectList direct(*this);
        result = ExportFilterList(List(), file);
        file.flush();
        if (!file)
            ThrowHResult(HResultFromWin32(ERROR_WRITE_FAULT));
    });
    if (FAILED(hr)) {
        ShowFailureMessage(m_hWnd, L"The filter list could not be written to the file", hr);
    } else if (!result.leftOut.empty()) {
        // Written as they are, they would come back as other filters.
        ShowMessage(m_hWnd, std::to_wstring(result.leftOut.size()) +
                                L" filters were left out of the file because the Adblock format cannot hold them "
                                L"(a \"$\" in a wildcard, or \"/$\" in a regular expression), the first being:\n" +
                                result.leftOut.front());
    }
}
