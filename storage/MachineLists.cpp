#include "storage/MachineLists.h"

#include <algorithm>
#include <cwchar>
#include <memory>

#include "com/Error.h"
#include "com/Handle.h"
#include "storage/AdblockListUpdate.h"
#include "storage/NamedMutex.h"
#include "storage/StorageFile.h"

namespace {

// The record stays small: every address ever offered, a line each.
constexpr DWORD kMaxOfferedFile = 256u << 10;

bool StartsWith(const std::wstring& text, const wchar_t* prefix) noexcept
{
    const std::size_t length = std::wcslen(prefix);
    return text.size() >= length && _wcsnicmp(text.c_str(), prefix, length) == 0;
}

bool SameSource(const std::wstring& a, const std::wstring& b) noexcept
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// The sources "lists add" takes and that mean the same in every process:
// addresses, UNC paths and full local paths (a relative path would depend
// on the current folder of whoever reads it).
bool IsMachineListSource(const std::wstring& source)
{
    if (source.size() > kMaxAdblockListSource)
        return false;
    for (wchar_t c : source) {
        if (c < 0x20 || c == 0x7F)
            return false;
    }
    if (IsAdblockListAddress(source))
        return source.find(L"://") + 3 < source.size();
    if (StartsWith(source, L"file:"))
        return source.size() > 5;
    if (source.find(L"://") != std::wstring::npos)
        return false;
    if (StartsWith(source, L"\\\\"))
        return source.size() > 2 && !StartsWith(source, L"\\\\?\\") && !StartsWith(source, L"\\\\.\\");
    const wchar_t drive = static_cast<wchar_t>(source.empty() ? 0 : source[0] | 0x20);
    return source.size() > 3 && drive >= L'a' && drive <= L'z' && source[1] == L':' &&
           (source[2] == L'\\' || source[2] == L'/');
}

std::wstring WideOfUtf8(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], size);
    return wide;
}

std::string Utf8OfWide(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], size, nullptr,
                            nullptr);
    return narrow;
}

// The addresses offered before; false when the record exists but is not a
// readable file of ours (a link, a folder, too large).
bool TryReadOffered(const std::wstring& path, std::vector<std::wstring>& offered)
{
    CFileHandle file(TryOpenStorageFile(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING));
    if (!file)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxOfferedFile)
        return false;
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    for (DWORD done = 0; done < bytes.size();) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), &bytes[done], static_cast<DWORD>(bytes.size()) - done, &got, nullptr) || got == 0)
            return false;
        done += got;
    }
    const std::wstring text = WideOfUtf8(bytes);
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find(L'\n', at);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(at, end - at);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        if (!line.empty())
            offered.push_back(std::move(line));
        at = end + 1;
    }
    return true;
}

// The record whole under a temporary name, then renamed over the old one
// (which loses only its name, should it be a link): a process that dies
// meanwhile leaves the previous record.
void WriteOffered(const std::wstring& path, const std::vector<std::wstring>& offered)
{
    std::string text;
    for (const std::wstring& source : offered)
        text += Utf8OfWide(source) + "\r\n";
    const std::wstring temporary = path + L".new";
    {
        CHandle file(CreateFreshStorageFile(temporary, GENERIC_WRITE, 0, nullptr));
        DWORD written = 0;
        ThrowLastErrorIf(!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
                         written != text.size());
        ThrowLastErrorIf(!FlushFileBuffers(file.Get()));
    }
    ThrowLastErrorIf(!MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
}

// A name no list has: the one the source gives, else with " (2)" etc.
std::wstring FreeListName(const CAdblockCatalog& catalog, const std::wstring& source)
{
    const std::wstring base = AdblockListNameOf(std::string(), source).substr(0, kMaxAdblockListName - 8);
    for (int n = 1;; ++n) {
        const std::wstring name = n == 1 ? base : base + L" (" + std::to_wstring(n) + L")";
        const bool taken = std::any_of(catalog.lists.begin(), catalog.lists.end(), [&](const CAdblockListEntry& e) {
            return _wcsicmp(e.name.c_str(), name.c_str()) == 0;
        });
        if (!taken)
            return name;
    }
}

}  // namespace

std::vector<std::wstring> ParseMachineLists(const std::wstring& value)
{
    std::vector<std::wstring> sources;
    if (value.size() > kMaxMachineListsText)
        return sources;
    const wchar_t* separators = L" ;\t\r\n";
    for (std::size_t at = value.find_first_not_of(separators);
         at != std::wstring::npos && sources.size() < kMaxMachineLists; at = value.find_first_not_of(separators, at)) {
        std::size_t end = value.find_first_of(separators, at);
        if (end == std::wstring::npos)
            end = value.size();
        std::wstring source = value.substr(at, end - at);
        at = end;
        if (!IsMachineListSource(source))
            continue;
        if (std::none_of(sources.begin(), sources.end(), [&](const std::wstring& s) { return SameSource(s, source); }))
            sources.push_back(std::move(source));
    }
    return sources;
}

std::wstring ReadMachineListsValue() noexcept
{
    try {
        // The 64-bit view from a 32-bit browser too: one value for both.
        CRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMachineListsKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Put()) !=
            ERROR_SUCCESS)
            return std::wstring();
        DWORD type = 0;
        DWORD bytes = 0;
        if (RegQueryValueExW(key.Get(), kMachineListsValue, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
            type != REG_SZ || bytes > (kMaxMachineListsText + 1) * sizeof(wchar_t))
            return std::wstring();
        std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
        if (RegQueryValueExW(key.Get(), kMachineListsValue, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]),
                             &bytes) != ERROR_SUCCESS ||
            type != REG_SZ)
            return std::wstring();
        // Not necessarily terminated; it ends at its first NUL either way.
        value.resize(std::min<std::size_t>(bytes / sizeof(wchar_t), value.size()));
        value.resize(std::wcslen(value.c_str()));
        return value;
    } catch (...) {
        return std::wstring();
    }
}

std::vector<std::wstring> OfferMachineLists(CAdblockListStore& store, const std::vector<std::wstring>& sources,
                                            DWORD waitMs)
{
    std::vector<std::wstring> added;
    if (sources.empty())
        return added;
    // The lock of the updates: two processes starting together must not
    // both add a list.
    CNamedMutex mutex(store.GetSecurityAttributes(), store.GetWriteLockName() + L".update");
    std::unique_ptr<CMutexHold> hold;
    try {
        hold = std::make_unique<CMutexHold>(mutex.Get(), waitMs);
    } catch (const CHResultException& e) {
        if (e.GetHResult() == kLockTimedOut)
            return added;
        throw;
    }
    const std::wstring path = store.GetFolder() + L"\\" + kOfferedListsFileName;
    std::vector<std::wstring> offered;
    if (!TryReadOffered(path, offered))
        return added;
    const auto wasOffered = [&](const std::wstring& source) {
        return std::any_of(offered.begin(), offered.end(),
                           [&](const std::wstring& o) { return SameSource(o, source); });
    };
    std::vector<std::wstring> fresh;
    for (const std::wstring& source : sources) {
        if (!wasOffered(source))
            fresh.push_back(source);
    }
    if (fresh.empty())
        return added;
    CAdblockCatalog catalog = store.ReadCatalog();
    for (const std::wstring& source : fresh) {
        const std::wstring stored = NormalizeAdblockListSource(source);
        const bool present = std::any_of(catalog.lists.begin(), catalog.lists.end(), [&](const CAdblockListEntry& e) {
            return SameSource(e.source, stored) || SameSource(e.source, source);
        });
        if (!present) {
            // No text yet, due at once: the next update fetches it, on a
            // thread that may wait for the network.
            const CAdblockListEntry entry = store.Add(FreeListName(catalog, stored), stored, std::string());
            catalog.lists.push_back(entry);
            added.push_back(entry.name);
        }
        offered.push_back(source);
    }
    WriteOffered(path, offered);
    return added;
}
