#include "engine/FilterRule.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <string_view>

#include "engine/RegexSearch.h"

namespace {

const wchar_t kInvalidEscape[] = L"the expression contains an invalid escape sequence";

} // namespace

bool ParseFilter(const wchar_t* text, FilterRule** rule)
{
    const std::size_t textLength = std::wcslen(text);
    if (std::wcspbrk(text, L"\r\n"))
        return false;

    // Equivalent to a whole-text match of "^(%)?(/)?(.*?)\2$" with a
    // back-reference to an absent group matching the empty string.
    const bool isException = text[0] == L'%';
    const wchar_t* rest = text + (isException ? 1 : 0);
    const std::size_t restLength = textLength - (isException ? 1 : 0);
    const bool isRegex = restLength >= 2 && rest[0] == L'/' && rest[restLength - 1] == L'/';
    const wchar_t* body = rest + (isRegex ? 1 : 0);
    const std::size_t length = restLength - (isRegex ? 2 : 0);
    if (length > kMaxFilterBodyLength)
        return false;

    auto* record = static_cast<FilterRule*>(std::malloc(FilterRecordSize(length)));
    if (!record)
        throw std::bad_alloc();
    record->isRegex = isRegex ? 1 : 0;
    record->isException = isException ? 1 : 0;
    record->length = static_cast<WORD>(length);
    std::memcpy(record->body, body, length * sizeof(wchar_t));
    record->body[length] = L'\0';
    *rule = record;
    return true;
}

std::wstring FilterToText(const FilterRule& rule)
{
    std::wstring text;
    text.reserve(rule.length + 3u);
    if (rule.isException)
        text += L'%';
    if (rule.isRegex)
        text += L'/';
    text.append(rule.body, rule.length);
    if (rule.isRegex)
        text += L'/';
    return text;
}

const wchar_t* CheckWildcard(const wchar_t* body)
{
    bool escapePending = false;
    for (const wchar_t* p = body; *p; ++p) {
        if (!escapePending) {
            escapePending = *p == L'\\';
        } else if (*p == L'*' || *p == L'?' || *p == L'\\') {
            escapePending = false;
        } else {
            return kInvalidEscape;
        }
    }
    return escapePending ? kInvalidEscape : nullptr;
}

bool MatchWildcard(const wchar_t* pattern, const wchar_t* text)
{
    const wchar_t* p = pattern;
    const wchar_t* t = text;
    // The one backtrack point: the pattern just after the last "*" and the
    // text position that star currently swallows up to.
    const wchar_t* starPattern = nullptr;
    const wchar_t* starText = nullptr;
    // The folded character the pattern needs right after that star, when it
    // is a literal: retrying the star at a text position holding anything
    // else fails at once, so those positions are skipped.
    wchar_t starNeeds = L'\0';

    for (;;) {
        if (*p == L'*') {
            starPattern = ++p;
            starText = t;
            starNeeds = L'\0';
            if (*p == L'\\')
                starNeeds = FoldAscii(p[1] != L'\0' ? p[1] : L'\\');
            else if (*p != L'?' && *p != L'*')
                starNeeds = FoldAscii(*p);
            continue;
        }
        if (*p != L'\0') {
            wchar_t expected = *p;
            const wchar_t* next = p + 1;
            bool literal = false;
            // A "\" that ends the pattern has nothing to escape and stands
            // for itself.
            if (expected == L'\\' && p[1] != L'\0') {
                expected = p[1];
                next = p + 2;
                literal = true;
            }
            if (*t != L'\0' && ((expected == L'?' && !literal) || FoldAscii(expected) == FoldAscii(*t))) {
                p = next;
                ++t;
                continue;
            }
        } else if (*t == L'\0') {
            return true;
        }
        if (!starPattern || *starText == L'\0')
            return false;
        ++starText;
        if (starNeeds != L'\0') {
            while (*starText != L'\0' && FoldAscii(*starText) != starNeeds)
                ++starText;
            if (*starText == L'\0')
                return false;
        }
        t = starText;
        p = starPattern;
    }
}

bool MatchFilter(const FilterRule& rule, const wchar_t* url, const CRegexTimeBound* bound)
{
    if (!rule.isRegex)
        return MatchWildcard(rule.body, url);
    // The body is read as a zero-terminated string, but never past length.
    std::size_t length = 0;
    while (length < rule.length && rule.body[length] != L'\0')
        ++length;
    return SearchRegex(std::wstring_view(rule.body, length), url, nullptr, CRegexMatcher::Auto, bound);
}

const wchar_t* RegexErrorText(int code)
{
    static const wchar_t* const kTexts[] = {
        L"the expression contains an invalid collating element name",
        L"the expression contains an invalid character class name",
        L"the expression contains an invalid escape sequence",
        L"the expression contains an invalid back reference",
        L"the expression contains an unmatched '[' or ']'",
        L"the expression contains an unmatched '(' or ')'",
        L"the expression contains an unmatched '{' or '}'",
        L"the expression contains an invalid count in a { } expression",
        L"the expression contains an invalid character range specifier",
        L"parsing the regular expression failed because there were not enough resources available",
        L"a repeat expression (one of '*', '?', '+', '{') was not preceded by an expression",
        L"an attempted match failed because it was too complex",
        L"an attempted match failed because there was not enough memory available",
        L"there was an error parsing the expression",
        L"the expression contains invalid syntax",
    };
    constexpr int kGeneralParseError = 13;
    if (code < 0 || code >= static_cast<int>(sizeof kTexts / sizeof kTexts[0]))
        code = kGeneralParseError;
    return kTexts[code];
}
