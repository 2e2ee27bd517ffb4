#include "browser/CssUrl.h"

#include <cwctype>

#include <windows.h>

#include "engine/FilterRule.h"

namespace {

// The whitespace of the C runtime's wide classification, the same test
// everywhere in the value.
bool IsSpace(wchar_t c) noexcept
{
    return c != L'\0' && iswctype(c, _SPACE);
}

// Writes one escaped code point as UTF-16. False for a code point that no
// URL character can be.
bool WriteCodePoint(unsigned long code, wchar_t*& out) noexcept
{
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return false;
    if (code >= 0x10000) {
        code -= 0x10000;
        *out++ = static_cast<wchar_t>(0xD800 + (code >> 10));
        *out++ = static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
    } else {
        *out++ = static_cast<wchar_t>(code);
    }
    return true;
}

}  // namespace

bool ParseCssUrl(wchar_t* text) noexcept
{
    // Each test stops at the first mismatch, so a short text ends the
    // comparison at its terminator.
    if (text[0] != L'u' || text[1] != L'r' || text[2] != L'l' || text[3] != L'(')
        return false;
    const wchar_t* in = text + 4;
    // The output trails the input: every step writes at most as many units
    // as it has read (a surrogate pair takes an escape of five digits or more).
    wchar_t* out = text;

    while (IsSpace(*in))
        ++in;
    if (*in == L'\0')
        return false;
    wchar_t quote = L'\0';
    if (*in == L'"' || *in == L'\'')
        quote = *in++;
    const wchar_t bodyEnd = quote ? quote : L')';

    enum class State { Normal, Escape, AfterCr };
    State state = State::Normal;
    unsigned digits = 0;
    unsigned long code = 0;
    bool closed = false;
    while (*in != L'\0' && !closed) {
        const wchar_t c = *in;
        if (state == State::Escape) {
            int value = HexDigitValue(c);
            if (value >= 0 && digits < 6) {
                code = code * 16 + static_cast<unsigned>(value);
                ++digits;
                ++in;
                continue;
            }
            if (digits == 0) {
                ++in;
                state = State::Normal;
                if (c == L'\r')
                    state = State::AfterCr;
                else if (c != L'\n' && c != L'\f')
                    *out++ = c;  // the quote, ")" or any other character, literally
                continue;
            }
            // The run of hex digits ends here.
            if (!WriteCodePoint(code, out))
                return false;
            state = State::Normal;
            if (digits < 6 && IsSpace(c))
                ++in;
            continue;  // otherwise c is read again as a plain character
        }
        if (state == State::AfterCr) {
            state = State::Normal;
            if (c == L'\n') {
                ++in;
                continue;
            }
        }
        if (c == bodyEnd) {
            closed = true;
            break;
        }
        ++in;
        if (c == L'\\') {
            state = State::Escape;
            digits = 0;
            code = 0;
        } else {
            *out++ = c;
        }
    }
    if (!closed)
        return false;
    if (quote) {
        ++in;
        while (IsSpace(*in))
            ++in;
    }
    if (in[0] != L')' || in[1] != L'\0')
        return false;
    *out = L'\0';
    return true;
}
