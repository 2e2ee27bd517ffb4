#pragma once
// How the regular-expression code reads a body: split into tokens as
// libstdc++'s ECMAScript scanner splits it, and counts that saturate instead
// of overflowing. Only the engine's regular-expression files include this.

#include <cstddef>
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
        if (i < n)
            ++i;
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
