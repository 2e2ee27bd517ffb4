#include "tools/installer/RegistryRows.h"

#include <algorithm>
#include <cstdio>

#include "com/Bstr.h"
#include "com/ComPtr.h"
#include "com/Error.h"

namespace {

[[noreturn]] void ThrowNotExpressible()
{
    ThrowHResult(kRowsNotExpressible);
}

// Universal marshaller, which RegisterTypeLib names for OLE Automation
// interfaces.
constexpr wchar_t kUniversalMarshaller[] = L"{00020424-0000-0000-C000-000000000046}";

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[40];
    if (StringFromGUID2(guid, text, 40) == 0)
        ThrowHResult(E_UNEXPECTED);
    return text;
}

std::wstring Hex(unsigned long number)
{
    wchar_t text[16];
    swprintf(text, 16, L"%lx", number);
    return text;
}

// Text with its brackets escaped, so that the installer resolves no
// property in it.
std::wstring EscapeBrackets(std::wstring_view text)
{
    std::wstring result;
    result.reserve(text.size());
    for (wchar_t c : text) {
        if (c < 0x20 || c == 0x7F || c == kModuleMarker[0])
            ThrowNotExpressible();
        if (c == L'[')
            result += L"[\\[]";
        else if (c == L']')
            result += L"[\\]]";
        else
            result += c;
    }
    return result;
}

// A leading "#" would make the installer read a number or binary data.
std::wstring KeepString(std::wstring value)
{
    if (!value.empty() && value[0] == L'#')
        value.insert(0, 1, L'#');
    return value;
}

// A string value: a formatted literal with the module marker turned into the
// file reference.
std::wstring StringValue(std::wstring_view text, const CInstalledFileReferences& files)
{
    if (text.empty())
        ThrowNotExpressible();  // an empty Value column means "no value"
    std::wstring result;
    size_t position = 0;
    for (;;) {
        size_t marker = text.find(kModuleMarker[0], position);
        result += EscapeBrackets(text.substr(position, marker == std::wstring_view::npos ? marker : marker - position));
        if (marker == std::wstring_view::npos)
            break;
        result += files.file;
        position = marker + 1;
    }
    return KeepString(std::move(result));
}

std::wstring DwordValue(DWORD number)
{
    // The installer reads "#" followed by a signed 32-bit integer.
    return L"#" + std::to_wstring(static_cast<long>(static_cast<LONG>(number)));
}

class CRowWriter
{
public:
    CRowWriter(const CInstalledFileReferences& files, CComponentRegistryRows& rows) : m_files(files), m_rows(rows) {}

    void Key(MsiRegistryRoot root, const std::wstring& parent, const CRegistrarKey& key)
    {
        std::wstring path = parent.empty() ? key.name : parent + L"\\" + key.name;
        std::wstring keyLiteral = MsiLiteral(path);
        if (key.flag == RegistrarKeyFlag::ForceRemove) {
            AddUnique(m_rows.removeBeforeInstall, {root, keyLiteral, std::wstring(L"-"), std::nullopt});
            Set({root, keyLiteral, std::wstring(L"*"), std::nullopt});
        } else if (key.values.empty() && key.subkeys.empty()) {
            std::wstring create = key.flag == RegistrarKeyFlag::NoRemove ? L"+" : L"*";
            Set({root, keyLiteral, create, std::nullopt});
        }
        for (const CRegistrarValue& value : key.values) {
            std::optional<std::wstring> name;
            if (!value.name.empty())
                name = MsiLiteral(value.name);
            std::wstring data =
                value.type == REG_DWORD ? DwordValue(value.number) : StringValue(value.text, m_files);
            Set({root, keyLiteral, name, data});
        }
        for (const CRegistrarKey& subkey : key.subkeys)
            Key(root, path, subkey);
    }

    // A later write of the same value replaces the earlier one, as it does
    // when the scripts are applied one after another. Key rows ("+", "*")
    // and values that happen to have such a name are different rows.
    void Set(CMsiRegistryRow row)
    {
        auto same = std::find_if(m_rows.registry.begin(), m_rows.registry.end(), [&](const CMsiRegistryRow& existing) {
            return existing.root == row.root && _wcsicmp(existing.key.c_str(), row.key.c_str()) == 0 &&
                   existing.value.has_value() == row.value.has_value() &&
                   existing.name.has_value() == row.name.has_value() &&
                   (!row.name || _wcsicmp(existing.name->c_str(), row.name->c_str()) == 0);
        });
        if (same == m_rows.registry.end())
            m_rows.registry.push_back(std::move(row));
        else
            *same = std::move(row);
    }

private:
    static void AddUnique(std::vector<CMsiRegistryRow>& rows, CMsiRegistryRow row)
    {
        auto same = std::find_if(rows.begin(), rows.end(), [&](const CMsiRegistryRow& existing) {
            return existing.root == row.root && _wcsicmp(existing.key.c_str(), row.key.c_str()) == 0;
        });
        if (same == rows.end())
            rows.push_back(std::move(row));
    }

    const CInstalledFileReferences& m_files;
    CComponentRegistryRows& m_rows;
};

MsiRegistryRoot TableRoot(RegistrarRoot root)
{
    switch (root) {
    case RegistrarRoot::ClassesRoot:
        return MsiRegistryRoot::ClassesRoot;
    case RegistrarRoot::LocalMachine:
        return MsiRegistryRoot::LocalMachine;
    case RegistrarRoot::CurrentUser:
        // A per-machine package would write it for the installing user only.
        break;
    }
    ThrowNotExpressible();
}

class CTypeAttributes
{
public:
    explicit CTypeAttributes(ITypeInfo* info) : m_info(info) { ThrowIfFailed(info->GetTypeAttr(&m_attributes)); }
    ~CTypeAttributes() { m_info->ReleaseTypeAttr(m_attributes); }
    CTypeAttributes(const CTypeAttributes&) = delete;
    CTypeAttributes& operator=(const CTypeAttributes&) = delete;
    const TYPEATTR* operator->() const noexcept { return m_attributes; }

private:
    ITypeInfo* m_info;
    TYPEATTR* m_attributes = nullptr;
};

class CLibraryAttributes
{
public:
    explicit CLibraryAttributes(ITypeLib* library) : m_library(library)
    {
        ThrowIfFailed(library->GetLibAttr(&m_attributes));
    }
    ~CLibraryAttributes() { m_library->ReleaseTLibAttr(m_attributes); }
    CLibraryAttributes(const CLibraryAttributes&) = delete;
    CLibraryAttributes& operator=(const CLibraryAttributes&) = delete;
    const TLIBATTR* operator->() const noexcept { return m_attributes; }

private:
    ITypeLib* m_library;
    TLIBATTR* m_attributes = nullptr;
};

std::string TableFile(const char* header, const std::vector<CComponentRows>& components, bool removeTable)
{
    std::string text = header;
    for (const CComponentRows& component : components) {
        const std::vector<CMsiRegistryRow>& rows =
            removeTable ? component.rows.removeBeforeInstall : component.rows.registry;
        size_t index = 0;
        for (const CMsiRegistryRow& row : rows) {
            std::wstring line = component.component + (removeTable ? L".remove." : L".") + std::to_wstring(++index);
            line += L"\t" + std::to_wstring(static_cast<int>(row.root)) + L"\t" + row.key + L"\t" + row.name.value_or(L"");
            if (!removeTable)
                line += L"\t" + row.value.value_or(L"");
            line += L"\t" + component.component + L"\r\n";
            for (wchar_t c : line) {
                if (c > 0x7E && c != 0)
                    ThrowNotExpressible();
                text += static_cast<char>(c);
            }
        }
    }
    return text;
}

}  // namespace

std::wstring MsiLiteral(std::wstring_view text)
{
    return KeepString(EscapeBrackets(text));
}

void AppendScriptRows(const CRegistrarScript& script, const CInstalledFileReferences& files,
                      CComponentRegistryRows& rows)
{
    CRowWriter writer(files, rows);
    for (const CRegistrarRootKeys& root : script) {
        MsiRegistryRoot tableRoot = TableRoot(root.root);
        for (const CRegistrarKey& key : root.keys)
            writer.Key(tableRoot, std::wstring(), key);
    }
}

void AppendTypeLibraryRows(ITypeLib* library, const CInstalledFileReferences& files, CComponentRegistryRows& rows)
{
    CRowWriter writer(files, rows);
    CLibraryAttributes attributes(library);
    std::wstring libid = GuidText(attributes->guid);
    std::wstring key = L"TypeLib\\" + libid + L"\\" + Hex(attributes->wMajorVerNum) + L"." +
                       Hex(attributes->wMinorVerNum);
    const wchar_t* platform = nullptr;
    switch (attributes->syskind) {
    case SYS_WIN32:
        platform = L"win32";
        break;
    case SYS_WIN64:
        platform = L"win64";
        break;
    default:
        ThrowNotExpressible();
    }
    CComBSTR help;
    ThrowIfFailed(library->GetDocumentation(-1, nullptr, help.Put(), nullptr, nullptr));
    constexpr auto root = MsiRegistryRoot::ClassesRoot;
    if (help.Length() != 0)
        writer.Set({root, MsiLiteral(key), std::nullopt, MsiLiteral(help.View())});
    writer.Set({root, MsiLiteral(key + L"\\" + Hex(attributes->lcid) + L"\\" + platform), std::nullopt, files.file});
    // The loader marks every library read from a file; the registry records
    // only the library's own flags.
    writer.Set({root, MsiLiteral(key + L"\\FLAGS"), std::nullopt,
                std::to_wstring(attributes->wLibFlags & ~LIBFLAG_FHASDISKIMAGE)});
    writer.Set({root, MsiLiteral(key + L"\\HELPDIR"), std::nullopt, files.folder});

    UINT count = library->GetTypeInfoCount();
    for (UINT index = 0; index < count; ++index) {
        TYPEKIND kind = TKIND_MAX;
        ThrowIfFailed(library->GetTypeInfoType(index, &kind));
        if (kind != TKIND_INTERFACE && kind != TKIND_DISPATCH)
            continue;
        CComPtr<ITypeInfo> info;
        ThrowIfFailed(library->GetTypeInfo(index, info.Put()));
        CTypeAttributes type(info.Get());
        bool dual = (type->wTypeFlags & TYPEFLAG_FDUAL) != 0;
        if (kind == TKIND_DISPATCH && !dual)
            ThrowNotExpressible();
        if (kind == TKIND_INTERFACE && (type->wTypeFlags & TYPEFLAG_FOLEAUTOMATION) == 0)
            continue;
        CComBSTR name;
        ThrowIfFailed(library->GetDocumentation(static_cast<INT>(index), name.Put(), nullptr, nullptr, nullptr));
        std::wstring interfaceKey = MsiLiteral(L"Interface\\" + GuidText(type->guid));
        writer.Set({root, interfaceKey, std::nullopt, MsiLiteral(name.View())});
        writer.Set({root, interfaceKey + L"\\ProxyStubClsid", std::nullopt, kUniversalMarshaller});
        writer.Set({root, interfaceKey + L"\\ProxyStubClsid32", std::nullopt, kUniversalMarshaller});
        writer.Set({root, interfaceKey + L"\\TypeLib", std::nullopt, libid});
        writer.Set({root, interfaceKey + L"\\TypeLib", std::wstring(L"Version"),
                    Hex(attributes->wMajorVerNum) + L"." + Hex(attributes->wMinorVerNum)});
    }
}

std::string RegistryTableFile(const std::vector<CComponentRows>& components)
{
    return TableFile("Registry\tRoot\tKey\tName\tValue\tComponent_\r\n"
                     "s72\ti2\tl255\tL255\tL0\ts72\r\n"
                     "Registry\tRegistry\r\n",
                     components, false);
}

std::string RemoveRegistryTableFile(const std::vector<CComponentRows>& components)
{
    return TableFile("RemoveRegistry\tRoot\tKey\tName\tComponent_\r\n"
                     "s72\ti2\tl255\tL255\ts72\r\n"
                     "RemoveRegistry\tRemoveRegistry\r\n",
                     components, true);
}
