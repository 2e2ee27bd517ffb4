#pragma once
// How the regular-expression code reads a body: split into tokens as
// libstdc++'s ECMAScript scanner splits it, and counts that saturate instead
// of overflowing. Only the engine's regular-expression files include this.

#include <cstddef>
#include <cwchar>
#include <string_view>

namespace regex_scan {

inline std::size_t SaturatingAdd(std::size_t a, std::size_t b) noexcept
{
    return a + b < a ? static_cast<std::size_t>(-1) : a + b;
}

inline std::size_t SaturatingMultiply(std::size_t a, std::size_t b) noexcept
{
    return (b != 0 && a > static_cast<std::size_t>(-1) / b) ? static_cast<std::size_t>(-1) : a * b;
}

enum class CToken
{
    Escape,      // "\" and the character after it
    Class,       // "[...]"
    Open,        // "(", "(?:", "(?=", "(?!"
    Close,       // ")"
    Bar,         // "|"
    Brace,       // "{...}"
    Quantifier,  // "*", "+", "?"
    Other,
};

// The value of a run of hexadecimal digits, or -1 when one is not.
inline long HexDigits(std::wstring_view digits) noexcept
{
    long value = 0;
    for (const wchar_t c : digits) {
        const int digit = c >= L'0' && c <= L'9'   ? c - L'0'
                          : c >= L'a' && c <= L'f' ? c - L'a' + 10
                          : c >= L'A' && c <= L'F' ? c - L'A' + 10
                                                   : -1;
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

// The character an escape token (from NextToken) stands for as a literal,
// or 0 when it stands for none: a class, an assertion, a back-reference, a
// control character, or a letter the library may read otherwise.
inline wchar_t EscapedCharacter(std::wstring_view token) noexcept
{
    if (token.size() < 2)
        return 0;
    const wchar_t kind = token[1];
    if ((kind == L'x' && token.size() == 4) || (kind == L'u' && token.size() == 6)) {
        const long value = HexDigits(token.substr(2));
        return value > 0 ? static_cast<wchar_t>(value) : 0;
    }
    // Only escaped punctuation stands for itself; letters and digits are
    // classes, assertions, references or codes.
    if (token.size() == 2 && kind != L'\0' && std::wcschr(L"./-?*+()[]{}|^$\\=&:,;!@#%~'\"<> _`", kind))
        return kind;
    return 0;
}

// Splits a body the way libstdc++'s ECMAScript scanner does, as far as the
// structure is concerned: "\" always takes the next character, and inside
// a class only "]" ends it, except escaped or within "[:name:]",
// "[.name.]" or "[=name=]". Advances i past the token.
inline CToken NextToken(std::wstring_view body, std::size_t& i)
{
    const std::size_t n = body.size();
    const wchar_t c = body[i++];
    switch (c) {
    case L'\\':
        if (i < n) {
            // Escapes that take more than the character after the "\", as
            // the library reads them: \xHH and \uHHHH (a character; other
            // forms do not compile), \cX (the letter X itself, in this
            // library) and a back-reference's digits.
            const wchar_t kind = body[i++];
            if (kind == L'x' || kind == L'u') {
                const std::size_t digits = kind == L'x' ? 2 : 4;
                if (n - i >= digits && HexDigits(body.substr(i, digits)) >= 0)
                    i += digits;
            } else if (kind == L'c') {
                if (i < n)
                    ++i;
            } else if (kind >= L'1' && kind <= L'9') {
                while (i < n && body[i] >= L'0' && body[i] <= L'9')
                    ++i;
            }
        }
        return CToken::Escape;
    case L'[':
        while (i < n && body[i] != L']') {
            if (body[i] == L'\\') {
                i += 2;
            } else if (body[i] == L'[' && i + 1 < n &&
                       (body[i + 1] == L':' || body[i + 1] == L'.' || body[i + 1] == L'=')) {
                const wchar_t kind = body[i + 1];
                i += 2;
                while (i + 1 < n && !(body[i] == kind && body[i + 1] == L']'))
                    ++i;
                i += 2;
            } else {
                ++i;
            }
        }
        i = i < n ? i + 1 : n;
        return CToken::Class;
    case L'(':
        if (i + 1 < n && body[i] == L'?' && (body[i + 1] == L':' || body[i + 1] == L'=' || body[i + 1] == L'!'))
            i += 2;
        return CToken::Open;
    case L')':
        return CToken::Close;
    case L'|':
        return CToken::Bar;
    case L'{':
        while (i < n && body[i] != L'}')
            ++i;
        i = i < n ? i + 1 : n;
        return CToken::Brace;
    case L'*':
    case L'+':
    case L'?':
        return CToken::Quantifier;
    default:
        return CToken::Other;
    }
}

inline bool IsLookahead(std::wstring_view body, std::size_t open)
{
    return open + 2 < body.size() && body[open + 1] == L'?' && (body[open + 2] == L'=' || body[open + 2] == L'!');
}

inline bool IsCapturing(std::wstring_view body, std::size_t open)
{
    return !(open + 1 < body.size() && body[open + 1] == L'?');
}

}  // namespace regex_scan
