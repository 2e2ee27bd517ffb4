#include "ui/ListsDialog.h"

#include <commctrl.h>

#include <cwchar>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "broker/CreateBroker.h"
#include "broker/FileDialog.h"
#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/Export.h"
#include "com/Handle.h"
#include "com/Sync.h"
#include "storage/AdblockListStore.h"
#include "storage/AdblockListUpdate.h"
#include "storage/NamedMutex.h"

struct CListsDialog::CJob
{
    CCriticalSection lock;
    HWND dialog = nullptr;  // under lock: told when done; null once it is gone

    bool add = false;       // else an update
    std::wstring argument;  // the source to add, or the list to update (empty: all)

    // Written by the worker before it tells the dialog.
    HRESULT result = S_OK;
    CAdblockListEntry added;
    std::vector<CListUpdateResult> updates;
    std::vector<std::wstring> leftOut;
};

namespace {

// Posted to the dialog: the worker's job is done.
constexpr UINT kJobDoneMessage = WM_APP + 1;
// Posted to the dialog: read the rows again once the list view is through
// with the notification that changed the store.
constexpr UINT kRefreshMessage = WM_APP + 2;

constexpr wchar_t kCheckingText[] = L"checking now...";

enum Column
{
    kNameColumn,
    kSourceColumn,
    kFiltersColumn,
    kUpdatedColumn,
    kStatusColumn,
};

void InsertColumn(HWND list, int index, const wchar_t* title, int width) noexcept
{
    LVCOLUMNW column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = const_cast<wchar_t*>(title);
    column.cx = width;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&column));
}

void SetCell(HWND list, int row, int column, const std::wstring& text) noexcept
{
    LVITEMW cell = {};
    cell.iSubItem = column;
    cell.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(list, LVM_SETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&cell));
}

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// A failure as QuellanCtl words it: the list failure's own words, else the
// system's text with the code.
std::wstring ResultText(HRESULT hr)
{
    std::wstring text = DescribeListFailure(hr);
    if (!text.empty())
        return text;
    if (hr == kLockTimedOut)
        return L"another process keeps the store locked; gave up waiting, nothing was changed";
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    text = DescribeHResult(hr);
    return (text.empty() ? std::wstring(L"error") : text) + L" (" + code + L")";
}

// The status column: the last check's result and when the next is due.
std::wstring StatusText(const CAdblockListEntry& entry)
{
    if (entry.source.empty())
        return L"not kept current";
    std::wstring text = entry.lastCheck.dwLowDateTime || entry.lastCheck.dwHighDateTime
                            ? ResultText(entry.lastResult)
                            : std::wstring(L"not checked");
    if (entry.nextDue.dwLowDateTime || entry.nextDue.dwHighDateTime)
        text += L"; next check " + DescribeListTime(entry.nextDue);
    return text;
}

// A message-box sentence from QuellanCtl's words.
std::wstring Sentence(std::wstring text)
{
    if (!text.empty()) {
        CharUpperBuffW(&text[0], 1);
        if (text.back() != L'.')
            text += L'.';
    }
    return text;
}

std::wstring LeftOutText(const std::vector<std::wstring>& leftOut)
{
    std::wstring text;
    for (const std::wstring& name : leftOut)
        text += Sentence(L"the stored text of list " + Quoted(name) +
                         L" is damaged; it is left out until it is removed and added again") +
                L"\n";
    return text;
}

void FocusIfDisabled(HWND dialog, HWND control, HWND fallback) noexcept
{
    if (GetFocus() == control)
        SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(fallback), TRUE);
}

using GetFinalPathNameByHandleFunction = DWORD(WINAPI*)(HANDLE, wchar_t*, DWORD, DWORD);

// The path of a file the broker opened, without the "\\?\" prefix.
std::wstring PathOfFile(HANDLE file, GetFinalPathNameByHandleFunction finalPath)
{
    const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    std::wstring path(finalPath(file, nullptr, 0, flags), L'\0');
    ThrowLastErrorIf(path.empty());
    const DWORD length = finalPath(file, &path[0], static_cast<DWORD>(path.size()), flags);
    ThrowLastErrorIf(length == 0 || length >= path.size());
    path.resize(length);
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        path.erase(2, 6);
    else if (path.compare(0, 4, L"\\\\?\\") == 0)
        path.erase(0, 4);
    return path;
}

// The prompt of Add...: an address or path, typed or picked.
class CAddListDialog final : public CDialogImpl<CAddListDialog>
{
public:
    static constexpr UINT IDD = IDD_ADD_LIST;

    const std::wstring& GetSource() const noexcept { return m_source; }

protected:
    bool ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) override
    {
        if (message == WM_INITDIALOG) {
            CenterOnOwner();
            SendMessageW(GetDlgItem(IDC_LIST_SOURCE), EM_LIMITTEXT, kMaxAdblockListSource, 0);
            result = TRUE;
            return true;
        }
        if (message != WM_COMMAND)
            return false;
        const WORD id = LOWORD(wParam);
        const WORD code = HIWORD(wParam);
        if (id == IDC_LIST_SOURCE && code == EN_CHANGE) {
            EnableDlgItem(IDOK, GetWindowTextLengthW(GetDlgItem(IDC_LIST_SOURCE)) > 0);
            return true;
        }
        if (code != BN_CLICKED)
            return false;
        switch (id) {
        case IDOK: {
            std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(GetDlgItem(IDC_LIST_SOURCE))) + 1, L'\0');
            text.resize(static_cast<std::size_t>(
                GetWindowTextW(GetDlgItem(IDC_LIST_SOURCE), &text[0], static_cast<int>(text.size()))));
            const std::size_t first = text.find_first_not_of(L" \t");
            const std::size_t last = text.find_last_not_of(L" \t");
            m_source = first == std::wstring::npos ? std::wstring() : text.substr(first, last - first + 1);
            if (!m_source.empty())
                EndDialog(IDOK);
            return true;
        }
        case IDCANCEL:
            EndDialog(IDCANCEL);
            return true;
        case IDC_BROWSE:
            Browse();
            return true;
        default:
            return false;
        }
    }

private:
    // The file's path goes into the box. The broker shows the dialog and
    // opens the file, as Import does, out of process in Protected Mode; the
    // path comes from the open file. Before Windows Vista there is neither
    // Protected Mode nor a way to ask a handle for its path: the dialog
    // runs here.
    void Browse()
    {
        auto finalPath = GetExport<GetFinalPathNameByHandleFunction>(GetModuleHandleW(L"kernel32.dll"),
                                                                     "GetFinalPathNameByHandleW");
        std::optional<std::wstring> path;
        if (!finalPath) {
            HRESULT hr = CallAtBoundary([&] { path = TryChooseImportFile(m_hWnd); });
            if (FAILED(hr))
                ShowFailureMessage(m_hWnd, L"The file dialog could not be shown", hr);
        } else {
            CComPtr<IBroker> broker;
            HRESULT hr = CallAtBoundary([&] { broker = CreateBroker(); });
            if (FAILED(hr)) {
                ShowFailureMessage(m_hWnd, L"The file dialog could not be shown", hr);
                return;
            }
            LONG handle = 0;
            hr = broker->ShowImportDialog(HandleToLong(m_hWnd), &handle);
            if (FAILED(hr)) {
                ShowFailureMessage(m_hWnd, L"The file could not be opened", hr);
                return;
            }
            if (!handle)
                return;  // cancelled
            CHandle file(LongToHandle(handle));
            hr = CallAtBoundary([&] { path = PathOfFile(file.Get(), finalPath); });
            if (FAILED(hr))
                ShowFailureMessage(m_hWnd, L"The chosen file's path could not be found", hr);
        }
        if (!path)
            return;
        SetWindowTextW(GetDlgItem(IDC_LIST_SOURCE), path->c_str());
        SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(IDOK)), TRUE);
    }

    std::wstring m_source;
};

struct CWorkerStart
{
    std::shared_ptr<CListsDialog::CJob> job;
    HMODULE module = nullptr;  // a reference the worker gives back as it ends
};

DWORD WINAPI JobMain(void* parameter)
{
    std::unique_ptr<CWorkerStart> start(static_cast<CWorkerStart*>(parameter));
    CListsDialog::CJob& job = *start->job;
    const HRESULT hr = CallAtBoundary([&job] {
        CAdblockListStore& store = GetAdblockListStore();
        if (job.add)
            job.added = AddAdblockListFromSource(store, job.argument, &job.leftOut);
        else
            job.updates = UpdateAdblockLists(store, job.argument, false, &job.leftOut);
    });
    {
        CCritSecLock lock(job.lock);
        job.result = hr;
        if (job.dialog)
            PostMessageW(job.dialog, kJobDoneMessage, 0, 0);
    }
    const HMODULE module = start->module;
    start.reset();
    if (module)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

}  // namespace

CListsDialog::CListsDialog() noexcept = default;

CListsDialog::~CListsDialog() = default;

bool CListsDialog::ProcessWindowMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInitDialog();
        result = TRUE;
        return true;
    case WM_DESTROY:
        if (m_job) {
            CCritSecLock lock(m_job->lock);
            m_job->dialog = nullptr;
        }
        m_job.reset();
        m_filling = true;  // the list view unchecks nothing of the user's as it goes
        return false;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED)
            return false;
        switch (LOWORD(wParam)) {
        case IDCANCEL:  // Close, Escape and the close box
            EndDialog(IDCANCEL);
            return true;
        case IDC_ADD:
            Add();
            return true;
        case IDC_REMOVE:
            RemoveSelected();
            return true;
        case IDC_UPDATE_NOW:
            UpdateNow();
            return true;
        default:
            return false;
        }
    case WM_NOTIFY: {
        const auto& header = *reinterpret_cast<const NMHDR*>(lParam);
        return header.idFrom == IDC_ADBLOCK_LISTS && OnListNotify(header);
    }
    case kJobDoneMessage:
        OnJobDone();
        return true;
    case kRefreshMessage: {
        const HRESULT hr = CallAtBoundary([this] { Refresh(); });
        if (FAILED(hr))
            ShowFailureMessage(m_hWnd, L"Quellan could not read its Adblock lists", hr);
        return true;
    }
    default:
        return false;
    }
}

void CListsDialog::OnInitDialog()
{
    CenterOnOwner();
    HWND list = List();
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP,
                 LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT | LVS_EX_LABELTIP);
    RECT client = {};
    GetClientRect(list, &client);
    const int width = client.right - client.left;
    InsertColumn(list, kNameColumn, L"Name", width * 17 / 100);
    InsertColumn(list, kSourceColumn, L"Source", width * 24 / 100);
    InsertColumn(list, kFiltersColumn, L"Filters", width * 7 / 100);
    InsertColumn(list, kUpdatedColumn, L"Last Updated", width * 17 / 100);
    InsertColumn(list, kStatusColumn, L"Status", width - width * 65 / 100);
    // The last column takes what the others leave.
    SendMessageW(list, LVM_SETCOLUMNWIDTH, kStatusColumn, LVSCW_AUTOSIZE_USEHEADER);
    const HRESULT hr = CallAtBoundary([this] { Refresh(); });
    if (FAILED(hr))
        ShowFailureMessage(m_hWnd, L"Quellan could not read its Adblock lists", hr);
    UpdateButtons();
}

int CListsDialog::SelectedRow() const noexcept
{
    return static_cast<int>(SendMessageW(List(), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

void CListsDialog::Refresh()
{
    const CAdblockCatalog catalog = GetAdblockListStore().ReadCatalog();
    HWND list = List();
    const int selectedRow = SelectedRow();
    const std::wstring selected =
        selectedRow >= 0 && static_cast<std::size_t>(selectedRow) < m_names.size() ? m_names[selectedRow] : L"";
    m_filling = true;
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    m_names.clear();
    m_kept.clear();
    int row = 0;
    for (const CAdblockListEntry& entry : catalog.lists) {
        LVITEMW item = {};
        item.mask = LVIF_TEXT;
        item.iItem = row;
        item.pszText = const_cast<wchar_t*>(entry.name.c_str());
        if (SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)) < 0)
            break;
        m_names.push_back(entry.name);
        m_kept.push_back(!entry.source.empty() && entry.source != L"(recovered)");
        SetCell(list, row, kSourceColumn, entry.source);
        SetCell(list, row, kFiltersColumn, std::to_wstring(entry.counts.network + entry.counts.cosmetic));
        SetCell(list, row, kUpdatedColumn, DescribeListTime(entry.lastUpdate));
        const bool checking = m_job && !m_job->add &&
                              (m_job->argument.empty() ? m_kept.back() : m_job->argument == entry.name);
        SetCell(list, row, kStatusColumn, checking ? std::wstring(kCheckingText) : StatusText(entry));
        LVITEMW state = {};
        state.stateMask = LVIS_STATEIMAGEMASK | LVIS_SELECTED | LVIS_FOCUSED;
        state.state = INDEXTOSTATEIMAGEMASK(entry.enabled ? 2 : 1) |
                      (entry.name == selected ? LVIS_SELECTED | LVIS_FOCUSED : 0);
        SendMessageW(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&state));
        ++row;
    }
    m_filling = false;
    UpdateButtons();
}

bool CListsDialog::OnListNotify(const NMHDR& header)
{
    switch (header.code) {
    case LVN_ITEMCHANGED: {
        if (m_filling)
            return true;
        const auto& change = reinterpret_cast<const NMLISTVIEW&>(header);
        const UINT oldImage = (change.uOldState & LVIS_STATEIMAGEMASK) >> 12;
        const UINT newImage = (change.uNewState & LVIS_STATEIMAGEMASK) >> 12;
        // Image 0 is an item that has no check box yet.
        if ((change.uChanged & LVIF_STATE) && oldImage != 0 && newImage != 0 && oldImage != newImage)
            SetEnabled(change.iItem, newImage == 2);
        UpdateButtons();
        return true;
    }
    case LVN_KEYDOWN:
        if (reinterpret_cast<const NMLVKEYDOWN&>(header).wVKey == VK_DELETE)
            RemoveSelected();
        return true;
    default:
        return false;
    }
}

void CListsDialog::SetEnabled(int row, bool enabled)
{
    if (row < 0 || static_cast<std::size_t>(row) >= m_names.size())
        return;
    const std::wstring name = m_names[row];
    std::vector<std::wstring> leftOut;
    const HRESULT hr = CallAtBoundary([&] { GetAdblockListStore().SetEnabled(name, enabled, &leftOut); });
    if (hr == kAdblockListNotFound)
        ShowMessage(m_hWnd, Sentence(L"no list is named " + Quoted(name)));
    else if (FAILED(hr))
        ShowFailureMessage(m_hWnd, enabled ? L"The list could not be turned on" : L"The list could not be turned off",
                           hr);
    else if (!leftOut.empty())
        ShowMessage(m_hWnd, LeftOutText(leftOut));
    // The rows as stored (a failure puts the check box back).
    PostMessageW(m_hWnd, kRefreshMessage, 0, 0);
}

void CListsDialog::RemoveSelected()
{
    const int row = SelectedRow();
    if (row < 0 || static_cast<std::size_t>(row) >= m_names.size())
        return;
    const std::wstring name = m_names[row];
    std::vector<std::wstring> leftOut;
    HRESULT hr = CallAtBoundary([&] { GetAdblockListStore().Remove(name, &leftOut); });
    if (hr == kAdblockListNotFound)
        ShowMessage(m_hWnd, Sentence(L"no list is named " + Quoted(name)));
    else if (FAILED(hr))
        ShowFailureMessage(m_hWnd, L"The list could not be removed", hr);
    else if (!leftOut.empty())
        ShowMessage(m_hWnd, LeftOutText(leftOut));
    hr = CallAtBoundary([this] { Refresh(); });
    if (FAILED(hr))
        ShowFailureMessage(m_hWnd, L"Quellan could not read its Adblock lists", hr);
}

void CListsDialog::Add()
{
    CAddListDialog prompt;
    if (prompt.DoModal(m_hWnd) != IDOK)
        return;
    auto job = std::make_shared<CJob>();
    job->add = true;
    job->argument = prompt.GetSource();
    Start(std::move(job));
}

void CListsDialog::UpdateNow()
{
    const int row = SelectedRow();
    auto job = std::make_shared<CJob>();
    if (row >= 0 && static_cast<std::size_t>(row) < m_names.size())
        job->argument = m_names[row];
    if (!Start(job))
        return;
    // The rows being checked say so until the result comes.
    HWND list = List();
    for (std::size_t i = 0; i < m_names.size(); ++i) {
        const bool checked = job->argument.empty() ? m_kept[i] : i == static_cast<std::size_t>(row);
        if (checked)
            SetCell(list, static_cast<int>(i), kStatusColumn, kCheckingText);
    }
}

bool CListsDialog::Start(std::shared_ptr<CJob> job)
{
    job->dialog = m_hWnd;
    auto start = std::make_unique<CWorkerStart>();
    start->job = job;
    // The worker may outlive the dialog: it holds the module until it ends.
    CLibrary module;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&JobMain),
                           module.Put()) &&
        module.Get() == GetModuleHandleW(nullptr))
        module.Reset();
    start->module = module.Get();
    CHandle thread(CreateThread(nullptr, 0, &JobMain, start.get(), 0, nullptr));
    if (!thread) {
        ShowFailureMessage(m_hWnd, L"The lists could not be fetched", HResultFromWin32(GetLastError()));
        return false;
    }
    start.release();  // now the worker's
    module.Detach();
    m_job = std::move(job);
    UpdateButtons();
    return true;
}

void CListsDialog::OnJobDone()
{
    std::shared_ptr<CJob> job = std::move(m_job);
    m_job.reset();
    if (!job)
        return;
    const HRESULT refreshed = CallAtBoundary([this] { Refresh(); });
    UpdateButtons();
    std::wstring text = LeftOutText(job->leftOut);
    const HRESULT hr = job->result;
    if (job->add) {
        if (hr == kAdblockListNameTaken)
            text += Sentence(L"a list of that name (its title) is stored already; nothing was added");
        else if (FAILED(hr))
            text += job->argument + L": " + ResultText(hr) + L"; nothing was added.";
    } else if (hr == kAdblockListNotFound) {
        text += Sentence(L"no list is named " + Quoted(job->argument));
    } else if (FAILED(hr)) {
        text += Sentence(ResultText(hr));
    } else {
        for (const CListUpdateResult& update : job->updates) {
            if (update.outcome == CListUpdateResult::Failed)
                text += Sentence(L"list " + Quoted(update.name) + L" not updated: " + ResultText(update.result) +
                                 L"; it stays as it was") +
                        L"\n";
        }
    }
    if (SUCCEEDED(hr) && job->add) {
        // The new list, selected, to be seen.
        for (std::size_t i = 0; i < m_names.size(); ++i) {
            if (m_names[i] != job->added.name)
                continue;
            LVITEMW state = {};
            state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
            state.state = LVIS_SELECTED | LVIS_FOCUSED;
            SendMessageW(List(), LVM_SETITEMSTATE, i, reinterpret_cast<LPARAM>(&state));
            SendMessageW(List(), LVM_ENSUREVISIBLE, i, FALSE);
        }
    }
    while (!text.empty() && text.back() == L'\n')
        text.pop_back();
    if (!text.empty())
        ShowMessage(m_hWnd, text, FAILED(hr) ? MB_ICONERROR : MB_ICONWARNING);
    if (FAILED(refreshed))
        ShowFailureMessage(m_hWnd, L"Quellan could not read its Adblock lists", refreshed);
}

void CListsDialog::UpdateButtons() noexcept
{
    const bool idle = !m_job;
    HWND list = List();
    if (!idle) {
        FocusIfDisabled(m_hWnd, GetDlgItem(IDC_ADD), list);
        FocusIfDisabled(m_hWnd, GetDlgItem(IDC_UPDATE_NOW), list);
    }
    EnableDlgItem(IDC_ADD, idle);
    EnableDlgItem(IDC_UPDATE_NOW, idle);
    const int row = SelectedRow();
    const bool selected = row >= 0 && static_cast<std::size_t>(row) < m_names.size();
    if (!selected)
        FocusIfDisabled(m_hWnd, GetDlgItem(IDC_REMOVE), list);
    EnableDlgItem(IDC_REMOVE, selected);
}
