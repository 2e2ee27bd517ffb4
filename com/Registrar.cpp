#include "com/Registrar.h"

#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <optional>

#include "com/Error.h"
#include "com/Handle.h"
#include "com/Module.h"

namespace {

[[noreturn]] void ThrowScriptError()
{
    ThrowHResult(kRegistrarScriptError);
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i]))
            return false;
    }
    return true;
}

std::wstring Replace(std::wstring_view text, const CRegistrarReplacements& replacements)
{
    std::wstring result;
    result.reserve(text.size());
    size_t position = 0;
    while (position < text.size()) {
        size_t percent = text.find(L'%', position);
        if (percent == std::wstring_view::npos) {
            result.append(text.substr(position));
            break;
        }
        result.append(text.substr(position, percent - position));
        size_t end = text.find(L'%', percent + 1);
        if (end == std::wstring_view::npos)
            ThrowScriptError();
        std::wstring name(text.substr(percent + 1, end - percent - 1));
        if (name.empty()) {
            result += L'%';
        } else {
            auto found = replacements.find(name);
            if (found == replacements.end())
                ThrowScriptError();
            // Replacements stand inside quoted tokens ('%MODULE%'): a quote
            // in the value (a folder such as C:\Users\O'Brien) is doubled, or
            // it would end the token and the rest of the path would be read
            // as a key of its own.
            for (wchar_t c : found->second) {
                if (c == L'\'')
                    result += c;
                result += c;
            }
        }
        position = end + 1;
    }
    return result;
}

struct CToken
{
    std::wstring text;
    bool quoted = false;

    // A bare token that equals the word (keywords and punctuation are never quoted).
    bool Is(std::wstring_view word) const { return !quoted && EqualsIgnoringCase(text, word); }
};

class CScriptParser
{
public:
    explicit CScriptParser(std::wstring_view text) : m_text(text) {}

    CRegistrarScript Parse()
    {
        CRegistrarScript script;
        while (std::optional<CToken> token = Next()) {
            CRegistrarRootKeys root;
            root.root = ParseRoot(*token);
            Expect(L"{");
            root.keys = ParseKeys();
            script.push_back(std::move(root));
        }
        return script;
    }

private:
    static RegistrarRoot ParseRoot(const CToken& token)
    {
        if (token.Is(L"HKCR") || token.Is(L"HKEY_CLASSES_ROOT"))
            return RegistrarRoot::ClassesRoot;
        if (token.Is(L"HKCU") || token.Is(L"HKEY_CURRENT_USER"))
            return RegistrarRoot::CurrentUser;
        if (token.Is(L"HKLM") || token.Is(L"HKEY_LOCAL_MACHINE"))
            return RegistrarRoot::LocalMachine;
        ThrowScriptError();
    }

    // Keys up to and including the closing brace; values are not allowed here.
    std::vector<CRegistrarKey> ParseKeys()
    {
        CRegistrarKey holder;
        ParseBody(holder, false);
        return std::move(holder.subkeys);
    }

    // The entries of a key up to and including its closing brace.
    void ParseBody(CRegistrarKey& key, bool valuesAllowed)
    {
        for (;;) {
            CToken token = Require();
            if (token.Is(L"}"))
                return;
            if (token.Is(L"{") || token.Is(L"="))
                ThrowScriptError();
            if (token.Is(L"val")) {
                if (!valuesAllowed)
                    ThrowScriptError();
                CRegistrarValue value;
                value.name = Name(Require());
                Expect(L"=");
                ParseTypedValue(value);
                key.values.push_back(std::move(value));
                continue;
            }
            CRegistrarKey subkey;
            if (token.Is(L"NoRemove")) {
                subkey.flag = RegistrarKeyFlag::NoRemove;
                token = Require();
            } else if (token.Is(L"ForceRemove")) {
                subkey.flag = RegistrarKeyFlag::ForceRemove;
                token = Require();
            }
            subkey.name = Name(token);
            std::optional<CToken> next = Next();
            if (next && next->Is(L"=")) {
                CRegistrarValue value;
                ParseTypedValue(value);
                subkey.values.push_back(std::move(value));
                next = Next();
            }
            if (next && next->Is(L"{"))
                ParseBody(subkey, true);
            else
                m_pending = std::move(next);
            key.subkeys.push_back(std::move(subkey));
        }
    }

    void ParseTypedValue(CRegistrarValue& value)
    {
        CToken type = Require();
        CToken data = Require();
        if (type.Is(L"s")) {
            value.type = REG_SZ;
            value.text = data.text;
        } else if (type.Is(L"d")) {
            value.type = REG_DWORD;
            value.number = ParseDword(data.text);
        } else {
            ThrowScriptError();
        }
    }

    static DWORD ParseDword(const std::wstring& text)
    {
        if (text.empty() || !std::iswdigit(text[0]))
            ThrowScriptError();
        wchar_t* end = nullptr;
        errno = 0;
        unsigned long long number = std::wcstoull(text.c_str(), &end, 0);
        if (*end != L'\0' || errno == ERANGE || number > 0xFFFFFFFFull)
            ThrowScriptError();
        return static_cast<DWORD>(number);
    }

    // A key or value name: punctuation must be quoted to be a name.
    static std::wstring Name(const CToken& token)
    {
        if (token.Is(L"{") || token.Is(L"}") || token.Is(L"=") || token.text.empty())
            ThrowScriptError();
        return token.text;
    }

    void Expect(std::wstring_view word)
    {
        if (!Require().Is(word))
            ThrowScriptError();
    }

    CToken Require()
    {
        std::optional<CToken> token = Next();
        if (!token)
            ThrowScriptError();
        return std::move(*token);
    }

    std::optional<CToken> Next()
    {
        if (m_pending)
            return std::exchange(m_pending, std::nullopt);
        while (m_position < m_text.size() && std::iswspace(m_text[m_position]))
            ++m_position;
        if (m_position == m_text.size())
            return std::nullopt;
        CToken token;
        if (m_text[m_position] == L'\'') {
            token.quoted = true;
            for (++m_position;; ++m_position) {
                if (m_position == m_text.size())
                    ThrowScriptError();
                if (m_text[m_position] == L'\'') {
                    if (m_position + 1 < m_text.size() && m_text[m_position + 1] == L'\'') {
                        ++m_position;
                    } else {
                        ++m_position;
                        break;
                    }
                }
                token.text += m_text[m_position];
            }
            return token;
        }
        while (m_position < m_text.size() && !std::iswspace(m_text[m_position]))
            token.text += m_text[m_position++];
        return token;
    }

    std::wstring_view m_text;
    size_t m_position = 0;
    std::optional<CToken> m_pending;
};

void ThrowIfError(LONG error)
{
    if (error != ERROR_SUCCESS)
        ThrowHResult(HResultFromWin32(error));
}

// Deletes a key and everything under it; a missing key is not an error.
// (RegDeleteTreeW is not available on Windows XP.)
void DeleteTree(HKEY parent, const std::wstring& name)
{
    CRegKey key;
    LONG error = RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | KEY_WRITE, key.Put());
    if (error == ERROR_FILE_NOT_FOUND)
        return;
    ThrowIfError(error);
    for (;;) {
        wchar_t subkey[256];
        DWORD length = 256;
        error = RegEnumKeyExW(key.Get(), 0, subkey, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS)
            break;
        ThrowIfError(error);
        DeleteTree(key.Get(), subkey);
    }
    key.Reset();
    error = RegDeleteKeyW(parent, name.c_str());
    if (error != ERROR_FILE_NOT_FOUND)
        ThrowIfError(error);
}

void SetValue(HKEY key, const CRegistrarValue& value)
{
    const wchar_t* name = value.name.empty() ? nullptr : value.name.c_str();
    if (value.type == REG_DWORD) {
        ThrowIfError(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.number),
                                    sizeof value.number));
    } else {
        DWORD bytes = static_cast<DWORD>((value.text.size() + 1) * sizeof(wchar_t));
        ThrowIfError(
            RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.text.c_str()), bytes));
    }
}

void RegisterKey(HKEY parent, const CRegistrarKey& key)
{
    if (key.flag == RegistrarKeyFlag::ForceRemove)
        DeleteTree(parent, key.name);
    CRegKey created;
    ThrowIfError(RegCreateKeyExW(parent, key.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                 KEY_READ | KEY_WRITE, nullptr, created.Put(), nullptr));
    for (const CRegistrarValue& value : key.values)
        SetValue(created.Get(), value);
    for (const CRegistrarKey& subkey : key.subkeys)
        RegisterKey(created.Get(), subkey);
}

void UnregisterKey(HKEY parent, const CRegistrarKey& key)
{
    if (key.flag == RegistrarKeyFlag::ForceRemove) {
        DeleteTree(parent, key.name);
        return;
    }
    CRegKey opened;
    LONG error = RegOpenKeyExW(parent, key.name.c_str(), 0, KEY_READ | KEY_WRITE, opened.Put());
    if (error == ERROR_FILE_NOT_FOUND)
        return;
    ThrowIfError(error);
    for (const CRegistrarValue& value : key.values) {
        if (value.name.empty())
            continue;
        error = RegDeleteValueW(opened.Get(), value.name.c_str());
        if (error != ERROR_FILE_NOT_FOUND)
            ThrowIfError(error);
    }
    for (const CRegistrarKey& subkey : key.subkeys)
        UnregisterKey(opened.Get(), subkey);
    if (key.flag == RegistrarKeyFlag::NoRemove)
        return;
    // A key that still has subkeys holds something that is not ours.
    DWORD subkeyCount = 0;
    ThrowIfError(RegQueryInfoKeyW(opened.Get(), nullptr, nullptr, nullptr, &subkeyCount, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr));
    opened.Reset();
    if (subkeyCount != 0)
        return;
    error = RegDeleteKeyW(parent, key.name.c_str());
    if (error != ERROR_FILE_NOT_FOUND)
        ThrowIfError(error);
}

HKEY RootKey(const CRegistryRoots& roots, RegistrarRoot root)
{
    switch (root) {
    case RegistrarRoot::ClassesRoot:
        return roots.classesRoot;
    case RegistrarRoot::CurrentUser:
        return roots.currentUser;
    case RegistrarRoot::LocalMachine:
        return roots.localMachine;
    }
    ThrowHResult(E_INVALIDARG);
}

}  // namespace

CRegistrarScript ParseRegistrarScript(std::wstring_view text, const CRegistrarReplacements& replacements)
{
    std::wstring replaced = Replace(text, replacements);
    return CScriptParser(replaced).Parse();
}

void ApplyRegistrarScript(const CRegistrarScript& script, const CRegistryRoots& roots, RegistrarMode mode)
{
    for (const CRegistrarRootKeys& root : script) {
        HKEY rootKey = RootKey(roots, root.root);
        for (const CRegistrarKey& key : root.keys) {
            if (mode == RegistrarMode::Register)
                RegisterKey(rootKey, key);
            else
                UnregisterKey(rootKey, key);
        }
    }
}

std::wstring LoadRegistrarScript(HINSTANCE module, UINT id)
{
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(id), L"REGISTRY");
    ThrowLastErrorIf(!resource);
    DWORD size = SizeofResource(module, resource);
    HGLOBAL loaded = LoadResource(module, resource);
    ThrowLastErrorIf(!loaded || size == 0);
    // Resource data is not terminated: the size is all there is.
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    ThrowLastErrorIf(!bytes);
    if (size >= 3 && bytes[0] == '\xEF' && bytes[1] == '\xBB' && bytes[2] == '\xBF') {
        bytes += 3;
        size -= 3;
    }
    if (size == 0)
        return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), nullptr, 0);
    ThrowLastErrorIf(length == 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    ThrowLastErrorIf(MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(size), &text[0], length) == 0);
    return text;
}

void UpdateRegistryFromResource(UINT id, RegistrarMode mode, const CRegistrarReplacements& replacements,
                                const CRegistryRoots& roots)
{
    CRegistrarScript script = ParseRegistrarScript(LoadRegistrarScript(GetModuleInstance(), id), replacements);
    ApplyRegistrarScript(script, roots, mode);
}
