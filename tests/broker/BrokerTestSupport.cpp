#include "tests/broker/BrokerTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <winternl.h>

#include "com/Error.h"
#include "com/Export.h"
#include "com/Handle.h"
#include "resources/QuellanIds.h"

const wchar_t kExtensionsKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\Extensions";
const wchar_t kMenuExtKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\MenuExt";

std::wstring MenuExtensionKey()
{
    return std::wstring(kExtensionsKey) + L"\\" + kQuellanMenuExtension;
}

std::wstring ContextMenuKey()
{
    return std::wstring(kMenuExtKey) + L"\\&List Blockable Items...";
}

std::wstring AllowSiteMenuKey()
{
    return std::wstring(kMenuExtKey) + L"\\Don't block on this site";
}

std::wstring DisallowSiteMenuKey()
{
    return std::wstring(kMenuExtKey) + L"\\Block on this site again";
}

ULONGLONG FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return ~0ull;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

HRESULT OpenError(const std::wstring& path, DWORD access)
{
    CFileHandle file(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr));
    return file ? S_OK : HResultFromLastError();
}

DWORD CountHandles(const wchar_t* type, const std::wstring& nameSuffix)
{
    using NtQueryObjectFunction = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const int kObjectNameInformation = 1;
    const int kObjectTypeInformation = 2;
    auto query = GetExport<NtQueryObjectFunction>(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject");
    auto text = [](const BYTE* information) {
        const UNICODE_STRING& name = *reinterpret_cast<const UNICODE_STRING*>(information);
        return name.Buffer ? std::wstring(name.Buffer, name.Length / sizeof(wchar_t)) : std::wstring();
    };
    // Handle values are multiples of 4; a small process has few.
    DWORD count = 0;
    for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
        HANDLE handle = reinterpret_cast<HANDLE>(value);
        DWORD flags = 0;
        if (!GetHandleInformation(handle, &flags))
            continue;
        alignas(8) BYTE information[2048] = {};
        ULONG length = 0;
        if (query(handle, kObjectTypeInformation, information, sizeof information, &length) < 0 ||
            text(information) != type)
            continue;
        if (!nameSuffix.empty()) {
            std::fill(std::begin(information), std::end(information), 0);
            if (query(handle, kObjectNameInformation, information, sizeof information, &length) < 0)
                continue;
            std::wstring name = text(information);
            if (name.size() < nameSuffix.size() ||
                _wcsicmp(name.c_str() + name.size() - nameSuffix.size(), nameSuffix.c_str()) != 0)
                continue;
        }
        ++count;
    }
    return count;
}

bool KeyExists(HKEY root, const std::wstring& path)
{
    CRegKey key;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

std::vector<std::wstring> KeyValues(HKEY root, const std::wstring& path)
{
    std::vector<std::wstring> values;
    CRegKey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
        return values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        BYTE data[2048] = {};
        DWORD size = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        if (RegEnumValueW(key.Get(), index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        std::wstring entry = std::wstring(name, nameLength) + L"=";
        if (type == REG_SZ)
            entry += reinterpret_cast<const wchar_t*>(data);
        else if (type == REG_DWORD)
            entry += L"dword:" + std::to_wstring(*reinterpret_cast<const DWORD*>(data));
        else
            entry += L"<type " + std::to_wstring(type) + L">";
        values.push_back(entry);
    }
    std::sort(values.begin(), values.end());
    return values;
}
