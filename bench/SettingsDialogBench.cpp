// How long the settings dialog takes with a real list: EasyList (or any
// Adblock file) is stored as the user's filter list, then the shipped
// library's settings dialog is opened through its automation object on a
// thread of its own, as the browser's menu page does, and driven from here:
// open (until the dialog shows the whole list and answers), Sort, Apply of
// the sorted list, and close (Cancel until the dialog's call has returned).
// Needs a display (run.sh starts Xvfb).
//
//   SettingsDialogBench.exe QUELLAN_DLL LIST.txt [LIST.txt...]

#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/AdblockFormat.h"
#include "engine/FilterRule.h"
#include "resources/QuellanLib.h"
#include "resources/ResourceIds.h"
#include "storage/FilterListStore.h"

namespace {

double NowMs()
{
    return NowMicroseconds() / 1000.0;
}

std::size_t StoreLists(int count, wchar_t** paths)
{
    std::vector<CFilterRulePtr> rules;
    for (int i = 0; i < count; ++i) {
        std::ifstream in(paths[i], std::ios::binary);
        ReadAdblockList(in, [&](const std::wstring& text) {
            FilterRule* rule = nullptr;
            if (ParseFilter(text.c_str(), &rule))
                rules.emplace_back(rule);
        });
    }
    std::vector<const FilterRule*> records;
    for (const auto& rule : rules)
        records.push_back(rule.get());
    CStoreWriter writer(GetFilterListStore());
    ReplaceAllRecords(writer, records.data(), records.data() + records.size());
    return records.size();
}

struct CDialogThread
{
    const wchar_t* library;
    HRESULT result = E_PENDING;
};

DWORD WINAPI ShowDialog(void* parameter)
{
    auto& self = *static_cast<CDialogThread*>(parameter);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    HMODULE library = LoadLibraryW(self.library);
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto get = library ? reinterpret_cast<GetClassObject>(
                             reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject")))
                       : nullptr;
    IClassFactory* factory = nullptr;
    IAutomation* automation = nullptr;
    self.result = get ? get(CLSID_Automation, IID_IClassFactory, reinterpret_cast<void**>(&factory)) : E_FAIL;
    if (SUCCEEDED(self.result))
        self.result = factory->CreateInstance(nullptr, IID_IAutomation, reinterpret_cast<void**>(&automation));
    if (SUCCEEDED(self.result))
        self.result = automation->ShowSettingsDialog();
    if (automation)
        automation->Release();
    if (factory)
        factory->Release();
    CoUninitialize();
    return 0;
}

BOOL CALLBACK FindVisibleSettings(HWND window, LPARAM found)
{
    wchar_t caption[64] = {};
    GetWindowTextW(window, caption, 64);
    if (std::wstring(caption) == L"Quellan Settings" && IsWindowVisible(window)) {
        *reinterpret_cast<HWND*>(found) = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindSettingsDialog(DWORD thread)
{
    HWND found = nullptr;
    EnumThreadWindows(thread, FindVisibleSettings, reinterpret_cast<LPARAM>(&found));
    return found;
}

void Click(HWND dialog, int id)
{
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: SettingsDialogBench QUELLAN_DLL LIST.txt [LIST.txt...]\n");
        return 2;
    }
    const std::size_t filters = StoreLists(argc - 2, argv + 2);

    CDialogThread state{argv[1]};
    const double start = NowMs();
    DWORD threadId = 0;
    HANDLE thread = CreateThread(nullptr, 0, ShowDialog, &state, 0, &threadId);
    HWND dialog = nullptr;
    while (!(dialog = FindSettingsDialog(threadId))) {
        if (WaitForSingleObject(thread, 1) == WAIT_OBJECT_0) {
            std::fprintf(stderr, "the dialog did not open: 0x%08lX\n", static_cast<unsigned long>(state.result));
            return 1;
        }
    }
    HWND list = GetDlgItem(dialog, IDC_FILTER_LIST);
    const auto shown = static_cast<std::size_t>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
    UpdateWindow(list);
    SendMessageW(dialog, WM_NULL, 0, 0);
    const double opened = NowMs();

    Click(dialog, IDC_SORT);
    SendMessageW(dialog, WM_NULL, 0, 0);
    const double sorted = NowMs();

    Click(dialog, IDC_APPLY);
    SendMessageW(dialog, WM_NULL, 0, 0);
    const double applied = NowMs();
    const bool applyDone = !IsWindowEnabled(GetDlgItem(dialog, IDC_APPLY));

    Click(dialog, IDCANCEL);
    const bool closedInTime = WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0;
    const double closed = NowMs();
    CloseHandle(thread);

    std::printf("%zu filters stored, %zu shown\n", filters, shown);
    std::printf("  open  %8.0f ms\n", opened - start);
    std::printf("  sort  %8.0f ms\n", sorted - opened);
    std::printf("  apply %8.0f ms%s\n", applied - sorted, applyDone ? "" : " (Apply still enabled: not applied)");
    std::printf("  close %8.0f ms%s\n", closed - applied, closedInTime ? "" : " (still open after a minute)");
    return shown == filters && applyDone && closedInTime ? 0 : 1;
}
