// The library's broker in process, through the shipped quellan.dll: the
// menu entries it writes, and the import and export dialogs driven as a
// user would drive them, with the handle they hand back.

#include <gtest/gtest.h>

#include <windows.h>
#include <dlgs.h>
#include <shlobj.h>
#include <winioctl.h>

#include <string>
#include <vector>

#include "broker/Broker.h"
#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/Handle.h"
#include "resources/QuellanIds.h"
#include "resources/QuellanLib.h"
#include "tests/broker/BrokerTestSupport.h"
#include "tests/broker/FileDialogDriver.h"
#include "tests/module/ShippedLibrary.h"
#include "tests/support/TestEnvironment.h"
#include "tests/support/Wine.h"

namespace {

const HRESULT kSharingViolation = HResultFromWin32(ERROR_SHARING_VIOLATION);
const HRESULT kInvalidWindow = HResultFromWin32(ERROR_INVALID_WINDOW_HANDLE);
// Written by the caller before a call; a call that must not write the
// result leaves it.
const LONG kUntouched = 0x5EED;

class BrokerInProcess : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        CComPtr<IClassFactory> factory;
        ASSERT_EQ(S_OK, m_library.GetClassObject(CLSID_Broker, IID_IClassFactory, factory.PutVoid()));
        ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IBroker, m_broker.PutVoid()));
        m_owner = CreateWindowExW(0, L"STATIC", L"Quellan test owner", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr,
                                  nullptr, nullptr, nullptr);
        ASSERT_TRUE(m_owner);
        m_folder = MakeScratchDir();
    }
    void TearDown() override
    {
        m_broker.Reset();
        DestroyWindow(m_owner);
        EXPECT_EQ(S_OK, m_library.CanUnloadNow());
        CoUninitialize();
    }

    LONG Owner() const { return HandleToLong(m_owner); }
    std::wstring PathOf(const wchar_t* name) const { return m_folder + L"\\" + name; }

    // Runs an import or export call while `script` drives its dialog.
    HRESULT Call(bool save, LONG owner, LONG* file, CFileDialogDriver::Script script)
    {
        CFileDialogDriver driver(m_owner, std::move(script));
        return save ? m_broker->ShowExportDialog(owner, file) : m_broker->ShowImportDialog(owner, file);
    }
    // Chooses `path` in the dialog; for an existing export target, confirms
    // the overwrite prompt.
    HRESULT Choose(bool save, const std::wstring& path, LONG* file)
    {
        bool exists = GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
        return Call(save, Owner(), file, [&](CFileDialogDriver& driver) {
            HWND dialog = driver.WaitForDialog(save ? L"Export Filter List" : L"Import Filter List");
            if (!dialog)
                return;
            driver.TypeFileName(dialog, path);
            CFileDialogDriver::Press(dialog, IDOK);
            if (save && exists) {
                if (HWND prompt = driver.WaitForMessageBox(dialog))
                    CFileDialogDriver::Press(prompt, IDYES);
            }
        });
    }
    HRESULT Cancel(bool save, LONG* file)
    {
        return Call(save, Owner(), file, [&](CFileDialogDriver& driver) {
            if (HWND dialog = driver.WaitForDialog(save ? L"Export Filter List" : L"Import Filter List"))
                CFileDialogDriver::Press(dialog, IDCANCEL);
        });
    }

    CShippedLibrary m_library;
    CComPtr<IBroker> m_broker;
    HWND m_owner = nullptr;
    std::wstring m_folder;
};

TEST_F(BrokerInProcess, ImportHandsBackAnExclusiveReadHandleToTheChosenFile)
{
    std::wstring path = PathOf(L"easy list.txt");
    WriteFileBytes(path, "[Adblock Plus 2.0]\r\n*/ads/*\r\n");
    std::vector<std::wstring> filters;
    LONG file = 0;
    HRESULT hr = Call(false, Owner(), &file, [&](CFileDialogDriver& driver) {
        HWND dialog = driver.WaitForDialog(L"Import Filter List");
        if (!dialog)
            return;
        // The Adblock filter first and selected, then all files.
        HWND types = GetDlgItem(dialog, cmb1);
        int count = static_cast<int>(SendMessageW(types, CB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            wchar_t text[128] = L"";
            if (SendMessageW(types, CB_GETLBTEXTLEN, i, 0) < 128)
                SendMessageW(types, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
            filters.push_back(text);
        }
        filters.push_back(std::to_wstring(SendMessageW(types, CB_GETCURSEL, 0, 0)));
        driver.TypeFileName(dialog, path);
        CFileDialogDriver::Press(dialog, IDOK);
    });
    ASSERT_EQ(S_OK, hr);
    ASSERT_NE(0, file);
    EXPECT_EQ((std::vector<std::wstring>{L"Adblock Filter List (*.txt)", L"All Files (*.*)", L"0"}), filters);

    CHandle handle(LongToHandle(file));
    EXPECT_EQ("[Adblock Plus 2.0]\r\n*/ads/*\r\n", ReadAll(handle.Get()));
    // Read only, and nobody else may open the file while the handle is open.
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(handle.Get(), "x", 1, &written, nullptr));
    EXPECT_EQ(kSharingViolation, OpenError(path, GENERIC_READ));
    handle.Reset();
    EXPECT_EQ(S_OK, OpenError(path, GENERIC_READ));
}

TEST_F(BrokerInProcess, ExportEmptiesAnExistingFileAsSoonAsTheDialogIsConfirmed)
{
    std::wstring path = PathOf(L"exported.txt");
    WriteFileBytes(path, "old content that must go\r\n");
    LONG file = 0;
    ASSERT_EQ(S_OK, Choose(true, path, &file));
    ASSERT_NE(0, file);
    CHandle handle(LongToHandle(file));
    // Empty before anything is written through the handle.
    EXPECT_EQ(0u, FileSize(path));
    EXPECT_EQ(kSharingViolation, OpenError(path, GENERIC_READ));
    char buffer[4];
    DWORD read = 0;
    EXPECT_FALSE(ReadFile(handle.Get(), buffer, sizeof buffer, &read, nullptr)) << "write only";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(handle.Get(), "new\r\n", 5, &written, nullptr));
    handle.Reset();
    EXPECT_EQ("new\r\n", ReadFileBytes(path));
}

TEST_F(BrokerInProcess, ExportCreatesANewFileWithTheDefaultExtension)
{
    LONG file = 0;
    ASSERT_EQ(S_OK, Choose(true, PathOf(L"my list"), &file));
    ASSERT_NE(0, file);
    CloseHandle(LongToHandle(file));
    EXPECT_EQ(0u, FileSize(PathOf(L"my list.TXT")));
}

TEST_F(BrokerInProcess, CancellingReturnsOkAndLeavesTheCallersValue)
{
    std::wstring existing = PathOf(L"keep.txt");
    WriteFileBytes(existing, "keep me\r\n");
    for (bool save : {false, true}) {
        SCOPED_TRACE(save ? "export" : "import");
        LONG file = kUntouched;
        EXPECT_EQ(S_OK, Cancel(save, &file));
        EXPECT_EQ(kUntouched, file);
    }
    EXPECT_EQ("keep me\r\n", ReadFileBytes(existing));
}

TEST_F(BrokerInProcess, ImportOfAMissingFileIsRefusedByTheDialog)
{
    std::wstring missing = PathOf(L"missing.txt");
    LONG file = kUntouched;
    HRESULT hr = Call(false, Owner(), &file, [&](CFileDialogDriver& driver) {
        HWND dialog = driver.WaitForDialog(L"Import Filter List");
        if (!dialog)
            return;
        driver.TypeFileName(dialog, missing);
        CFileDialogDriver::Press(dialog, IDOK);
        // The dialog says so and stays.
        HWND box = driver.WaitForMessageBox(dialog);
        if (!box)
            return;
        CFileDialogDriver::Press(box, IDOK);
        EXPECT_TRUE(CFileDialogDriver::WaitUntilGone(box));
        EXPECT_TRUE(IsWindowVisible(dialog));
        CFileDialogDriver::Press(dialog, IDCANCEL);
    });
    EXPECT_EQ(S_OK, hr);
    EXPECT_EQ(kUntouched, file);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(missing.c_str()));
}

TEST_F(BrokerInProcess, AFileThatCannotBeOpenedFailsTheCallWithTheOpenError)
{
    std::wstring path = PathOf(L"busy.txt");
    WriteFileBytes(path, "in use\r\n");
    CFileHandle busy(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(busy);
    for (bool save : {false, true}) {
        SCOPED_TRACE(save ? "export" : "import");
        LONG file = kUntouched;
        EXPECT_EQ(kSharingViolation, Choose(save, path, &file));
        EXPECT_EQ(kUntouched, file);
    }
    busy.Reset();
    EXPECT_EQ("in use\r\n", ReadFileBytes(path));
}

TEST_F(BrokerInProcess, AnOwnerThatIsNoWindowFailsBeforeAnyDialog)
{
    std::wstring path = PathOf(L"precious.txt");
    WriteFileBytes(path, "precious\r\n");
    HWND gone = CreateWindowExW(0, L"STATIC", L"gone", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    for (LONG owner : {0L, HandleToLong(gone)}) {
        for (bool save : {false, true}) {
            SCOPED_TRACE(std::string(save ? "export" : "import") + " owner " + std::to_string(owner));
            LONG file = kUntouched;
            // A dialog would block the call until the driver's watchdog
            // cancels it and fails the test.
            EXPECT_EQ(kInvalidWindow, Call(save, owner, &file, [](CFileDialogDriver&) {}));
            EXPECT_EQ(kUntouched, file);
        }
    }
    EXPECT_EQ("precious\r\n", ReadFileBytes(path));
    EXPECT_EQ(E_POINTER, m_broker->ShowImportDialog(Owner(), nullptr));
    EXPECT_EQ(E_POINTER, m_broker->ShowExportDialog(Owner(), nullptr));
}

// Counts the handles that the broker opens on its way (the chosen file, the
// owner's process, an impersonation token) around every road through it.
TEST_F(BrokerInProcess, NoHandleStaysOpenOnAnyPath)
{
    std::wstring path = PathOf(L"list.txt");
    WriteFileBytes(path, "[Adblock]\r\n");
    auto count = [&] {
        return CountHandles(L"File", L"\\list.txt") + CountHandles(L"Process") + CountHandles(L"Token");
    };
    const DWORD before = count();

    LONG file = 0;
    ASSERT_EQ(S_OK, Choose(false, path, &file));
    EXPECT_EQ(before + 1, count()) << "only the handed-back handle";
    CloseHandle(LongToHandle(file));
    EXPECT_EQ(before, count());

    ASSERT_EQ(S_OK, Choose(true, path, &file));
    EXPECT_EQ(before + 1, count()) << "only the handed-back handle";
    CloseHandle(LongToHandle(file));
    EXPECT_EQ(before, count());

    EXPECT_EQ(S_OK, Cancel(false, &file));
    EXPECT_EQ(before, count());

    {
        CFileHandle busy(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(kSharingViolation, Choose(false, path, &file));
        EXPECT_EQ(kSharingViolation, Choose(true, path, &file));
    }
    EXPECT_EQ(before, count());
    EXPECT_EQ(kInvalidWindow, m_broker->ShowImportDialog(0, &file));
    EXPECT_EQ(before, count());
}

// A shortcut at `path` to `target`, as the shell writes one.
void MakeShortcut(const std::wstring& path, const std::wstring& target)
{
    CComPtr<IShellLinkW> link;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.PutVoid()));
    ASSERT_EQ(S_OK, link->SetPath(target.c_str()));
    CComPtr<IPersistFile> file;
    ASSERT_EQ(S_OK, link->QueryInterface(IID_IPersistFile, file.PutVoid()));
    ASSERT_EQ(S_OK, file->Save(path.c_str(), TRUE));
}

// Makes `path` (an empty folder) a junction to `target`; false where the
// file system cannot.
bool MakeJunction(const std::wstring& path, const std::wstring& target)
{
    CFileHandle folder(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder)
        return false;
    // The mount point layout: substitute name, then print name, each ended
    // by a NUL; offsets and lengths in bytes without the terminators.
    const std::wstring substitute = L"\\??\\" + target;
    std::vector<wchar_t> names(substitute.begin(), substitute.end());
    names.push_back(0);
    names.insert(names.end(), target.begin(), target.end());
    names.push_back(0);
    const WORD pathBytes = static_cast<WORD>(names.size() * sizeof(wchar_t));
    std::vector<BYTE> buffer(16 + pathBytes);
    auto put = [&](size_t offset, DWORD value, size_t size) { memcpy(&buffer[offset], &value, size); };
    put(0, IO_REPARSE_TAG_MOUNT_POINT, 4);
    put(4, 8 + pathBytes, 2);
    put(8, 0, 2);
    put(10, static_cast<DWORD>(substitute.size() * sizeof(wchar_t)), 2);
    put(12, static_cast<DWORD>((substitute.size() + 1) * sizeof(wchar_t)), 2);
    put(14, static_cast<DWORD>(target.size() * sizeof(wchar_t)), 2);
    memcpy(&buffer[16], names.data(), pathBytes);
    DWORD returned = 0;
    return DeviceIoControl(folder.Get(), FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()),
                           nullptr, 0, &returned, nullptr) != FALSE;
}

TEST_F(BrokerInProcess, AShortcutIsChosenAsItselfNeverAsTheFileItPointsAt)
{
    std::wstring target = PathOf(L"document.txt");
    std::wstring shortcut = PathOf(L"list.lnk");
    WriteFileBytes(target, "the user's document\r\n");
    MakeShortcut(shortcut, target);
    const std::string shortcutBytes = ReadFileBytes(shortcut);
    for (bool save : {false, true}) {
        SCOPED_TRACE(save ? "export" : "import");
        LONG file = 0;
        ASSERT_EQ(S_OK, Choose(save, shortcut, &file));
        ASSERT_NE(0, file);
        CHandle handle(LongToHandle(file));
        if (!save) {
            EXPECT_EQ(shortcutBytes, ReadAll(handle.Get()));
        }
        EXPECT_EQ("the user's document\r\n", ReadFileBytes(target));
    }
    EXPECT_EQ(0u, FileSize(shortcut)) << "the export emptied the shortcut itself";
}

TEST_F(BrokerInProcess, AFileReachedThroughALinkOrWithASecondNameIsRefusedUntouched)
{
    std::wstring elsewhere = MakeScratchDir();
    std::wstring document = elsewhere + L"\\document.txt";
    WriteFileBytes(document, "the user's document\r\n");
    // A hard link under the name the user picks.
    std::wstring linked = PathOf(L"linked.txt");
    ASSERT_TRUE(CreateHardLinkW(linked.c_str(), document.c_str(), nullptr));
    std::vector<std::wstring> chosen = {linked};
    // A folder that is a junction to the document's folder.
    std::wstring junction = PathOf(L"junction");
    ASSERT_TRUE(CreateDirectoryW(junction.c_str(), nullptr));
    // Wine 8 makes no reparse points (FSCTL_SET_REPARSE_POINT fails with
    // ERROR_NOT_SUPPORTED): there only the hard link is tried.
    const bool junctionMade = MakeJunction(junction, elsewhere);
    EXPECT_TODO_WINE(junctionMade);
    if (junctionMade)
        chosen.push_back(junction + L"\\document.txt");
    for (const std::wstring& path : chosen) {
        for (bool save : {false, true}) {
            SCOPED_TRACE(std::string(save ? "export " : "import ") + std::string(path.begin(), path.end()));
            LONG file = kUntouched;
            EXPECT_EQ(kNotTheChosenFile, Choose(save, path, &file));
            EXPECT_EQ(kUntouched, file);
            EXPECT_EQ("the user's document\r\n", ReadFileBytes(document));
        }
    }
    // A new file that an export would create through the junction is not left there.
    if (chosen.size() == 2) {
        LONG file = kUntouched;
        EXPECT_EQ(kNotTheChosenFile, Choose(true, junction + L"\\new.txt", &file));
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((elsewhere + L"\\new.txt").c_str()));
    }
}

TEST_F(BrokerInProcess, TheHandleGoesToTheCallerWhoeverOwnsTheWindow)
{
    // The desktop window belongs to another process.
    HWND desktop = GetDesktopWindow();
    DWORD ownerId = 0;
    GetWindowThreadProcessId(desktop, &ownerId);
    ASSERT_NE(GetCurrentProcessId(), ownerId);
    std::wstring path = PathOf(L"list.txt");
    WriteFileBytes(path, "[Adblock]\r\n");
    LONG file = 0;
    CFileDialogDriver driver(nullptr, [&](CFileDialogDriver& d) {
        HWND dialog = d.WaitForDialog(L"Import Filter List");
        if (!dialog)
            return;
        d.TypeFileName(dialog, path);
        CFileDialogDriver::Press(dialog, IDOK);
    });
    ASSERT_EQ(S_OK, m_broker->ShowImportDialog(HandleToLong(desktop), &file));
    CHandle handle(LongToHandle(file));
    EXPECT_EQ("[Adblock]\r\n", ReadAll(handle.Get()));
}

// The menu entries of the current user, as the browser reads them.
class MenuEntries : public BrokerInProcess
{
protected:
    void SetUp() override
    {
        BrokerInProcess::SetUp();
        RegDeleteTreeW(HKEY_CURRENT_USER, MenuExtensionKey().c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, ContextMenuKey().c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, AllowSiteMenuKey().c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, DisallowSiteMenuKey().c_str());
    }
};

TEST_F(MenuEntries, InstallWritesExactlyTheFourEntriesAndRemovalKeepsTheParentKeys)
{
    // A value left behind by an older version, and another add-on's entry.
    const std::wstring other = std::wstring(kExtensionsKey) + L"\\{00000000-1111-2222-3333-444444444444}";
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, MenuExtensionKey().c_str(), L"Icon", REG_SZ,
                                             L"old", 8));
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, other.c_str(), L"MenuText", REG_SZ, L"Other", 12));

    for (LONG install : {1L, 2L, -1L}) {
        SCOPED_TRACE(install);
        ASSERT_EQ(S_OK, m_broker->InstallMenuExt(install));
        EXPECT_EQ((std::vector<std::wstring>{L"CLSID={1FBA04EE-3024-11d2-8F1F-0000F87ABD16}",
                                             L"MenuText=Quellan Settings", L"Script=res://quellan.dll/#205"}),
                  KeyValues(HKEY_CURRENT_USER, MenuExtensionKey()));
        EXPECT_EQ((std::vector<std::wstring>{L"=res://quellan.dll/#207", L"Contexts=dword:1"}),
                  KeyValues(HKEY_CURRENT_USER, ContextMenuKey()));
        EXPECT_EQ((std::vector<std::wstring>{L"=res://quellan.dll/#209", L"Contexts=dword:1"}),
                  KeyValues(HKEY_CURRENT_USER, AllowSiteMenuKey()));
        EXPECT_EQ((std::vector<std::wstring>{L"=res://quellan.dll/#211", L"Contexts=dword:1"}),
                  KeyValues(HKEY_CURRENT_USER, DisallowSiteMenuKey()));
    }

    ASSERT_EQ(S_OK, m_broker->InstallMenuExt(0));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, MenuExtensionKey()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, ContextMenuKey()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, AllowSiteMenuKey()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, DisallowSiteMenuKey()));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kExtensionsKey));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kMenuExtKey));
    EXPECT_EQ(std::vector<std::wstring>{L"MenuText=Other"}, KeyValues(HKEY_CURRENT_USER, other));
    // Removing what is not there is no failure.
    EXPECT_EQ(S_OK, m_broker->InstallMenuExt(0));
    RegDeleteTreeW(HKEY_CURRENT_USER, other.c_str());
}

}  // namespace
