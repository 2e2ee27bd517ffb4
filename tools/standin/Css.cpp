#include "tools/standin/Css.h"

#include <algorithm>
#include <cwctype>

namespace StandIn {

namespace {

bool IsSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f';
}

// The first position from `from` on whose character is outside quotes, not
// escaped by a backslash, and accepted by stop; npos when there is none.
template <class Stop>
size_t FindOutsideQuotes(std::wstring_view text, size_t from, Stop stop)
{
    wchar_t quote = 0;
    for (size_t i = from; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (quote) {
            if (c == L'\\')
                ++i;
            else if (c == quote)
                quote = 0;
        } else if (c == L'"' || c == L'\'') {
            quote = c;
        } else if (c == L'\\') {
            ++i;
        } else if (stop(c)) {
            return i;
        }
    }
    return std::wstring_view::npos;
}

// Splits text at separator where it is outside quotes and parentheses.
std::vector<std::wstring_view> SplitOutside(std::wstring_view text, wchar_t separator)
{
    std::vector<std::wstring_view> parts;
    int depth = 0;
    auto isSeparator = [&](wchar_t c) {
        if (c == L'(')
            ++depth;
        else if (c == L')' && depth > 0)
            --depth;
        else
            return c == separator && depth == 0;
        return false;
    };
    size_t start = 0;
    for (size_t i; (i = FindOutsideQuotes(text, start, isSeparator)) != std::wstring_view::npos; start = i + 1)
        parts.push_back(text.substr(start, i - start));
    parts.push_back(text.substr(start));
    return parts;
}

std::wstring RemoveComments(std::wstring_view text)
{
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, L"/*") == 0) {
            size_t end = text.find(L"*/", i + 2);
            i = end == std::wstring_view::npos ? text.size() : end + 2;
            continue;
        }
        out += text[i++];
    }
    return out;
}

bool IsNameCharacter(wchar_t c)
{
    return std::iswalnum(c) || c == L'-' || c == L'_';
}

std::wstring ReadName(std::wstring_view text, size_t& i)
{
    std::wstring name;
    while (i < text.size() && IsNameCharacter(text[i]))
        name += text[i++];
    return name;
}

// "[name op value]" at text[i] == '['; false when not understood.
bool ParseAttributeTest(std::wstring_view text, size_t& i, CAttributeTest& test)
{
    ++i;
    auto skip = [&] {
        while (i < text.size() && IsSpace(text[i]))
            ++i;
    };
    skip();
    std::wstring name = ReadName(text, i);
    if (name.empty())
        return false;
    test.name = ToLower(name);
    skip();
    if (i < text.size() && text[i] != L']') {
        if (text[i] != L'=') {
            if (std::wstring_view(L"~|^$*").find(text[i]) == std::wstring_view::npos || i + 1 >= text.size() ||
                text[i + 1] != L'=')
                return false;
            test.op = text[i++];
        } else {
            test.op = L'=';
        }
        ++i;
        skip();
        if (i < text.size() && (text[i] == L'"' || text[i] == L'\'')) {
            size_t close = text.find(text[i], i + 1);
            if (close == std::wstring_view::npos)
                return false;
            test.value = text.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            test.value = ReadName(text, i);
            if (test.value.empty())
                return false;
        }
        skip();
    }
    if (i >= text.size() || text[i] != L']')
        return false;
    ++i;
    return true;
}

// One compound from text[i]; stops before white space or a combinator.
bool ParseCompound(std::wstring_view text, size_t& i, CCompound& compound)
{
    size_t start = i;
    if (i < text.size() && text[i] == L'*')
        ++i;
    else
        compound.tag = ToLower(ReadName(text, i));
    while (i < text.size() && !IsSpace(text[i]) && text[i] != L'>' && text[i] != L'+' && text[i] != L'~') {
        wchar_t kind = text[i];
        if (kind == L'[') {
            compound.attributes.emplace_back();
            if (!ParseAttributeTest(text, i, compound.attributes.back()))
                return false;
            continue;
        }
        ++i;
        std::wstring name = ReadName(text, i);
        if (name.empty())
            return false;
        if (kind == L'.')
            compound.classes.push_back(name);
        else if (kind == L'#' && compound.id.empty())
            compound.id = name;
        else if (kind == L':' && EqualsIgnoringCase(name, L"first-child"))
            compound.firstChild = true;
        else
            return false;  // other pseudo-classes: not applied by this browser
    }
    return i > start;
}

CSelector ParseSelector(std::wstring_view text)
{
    CSelector selector;
    std::wstring trimmed = Trim(text);
    std::vector<std::pair<wchar_t, CCompound>> parts;  // left to right; the first combinator unused
    size_t i = 0;
    wchar_t combinator = L' ';
    while (i < trimmed.size()) {
        CCompound compound;
        if (!ParseCompound(trimmed, i, compound))
            return selector;
        parts.emplace_back(combinator, std::move(compound));
        combinator = L' ';
        while (i < trimmed.size() && IsSpace(trimmed[i]))
            ++i;
        if (i < trimmed.size() && (trimmed[i] == L'>' || trimmed[i] == L'+' || trimmed[i] == L'~')) {
            combinator = trimmed[i++];
            while (i < trimmed.size() && IsSpace(trimmed[i]))
                ++i;
            if (i >= trimmed.size())
                return selector;
        }
    }
    if (parts.empty())
        return selector;
    static_cast<CCompound&>(selector) = std::move(parts.back().second);
    for (size_t k = parts.size() - 1; k > 0; --k)
        selector.left.emplace_back(parts[k].first, std::move(parts[k - 1].second));
    selector.valid = true;
    return selector;
}

bool HasWord(std::wstring_view list, std::wstring_view word)
{
    size_t i = 0;
    while (i < list.size()) {
        while (i < list.size() && IsSpace(list[i]))
            ++i;
        size_t end = i;
        while (end < list.size() && !IsSpace(list[end]))
            ++end;
        if (end > i && list.substr(i, end - i) == word)
            return true;
        i = end;
    }
    return false;
}

bool AttributeMatches(const CAttributeTest& test, const CElementFacts& element)
{
    for (const auto& [name, value] : element.attributes) {
        if (name != test.name)
            continue;
        std::wstring_view v = value, w = test.value;
        switch (test.op) {
        case 0: return true;
        case L'=': return v == w;
        case L'~': return HasWord(v, w);
        case L'|': return v == w || (v.size() > w.size() && v.substr(0, w.size()) == w && v[w.size()] == L'-');
        case L'^': return !w.empty() && v.substr(0, w.size()) == w;
        case L'$': return !w.empty() && v.size() >= w.size() && v.substr(v.size() - w.size()) == w;
        case L'*': return !w.empty() && v.find(w) != std::wstring_view::npos;
        default: return false;
        }
    }
    return false;
}

bool CompoundMatches(const CCompound& compound, const IElementView& view)
{
    CElementFacts element = view.Facts();
    if (!compound.tag.empty() && compound.tag != element.tag)
        return false;
    if (!compound.id.empty() && compound.id != element.id)
        return false;
    for (const std::wstring& wanted : compound.classes) {
        if (std::find(element.classes.begin(), element.classes.end(), wanted) == element.classes.end())
            return false;
    }
    for (const CAttributeTest& test : compound.attributes) {
        if (!AttributeMatches(test, element))
            return false;
    }
    return !compound.firstChild || !view.PreviousElement();
}

// Matches left[from...] against the elements the combinators reach from
// `view` (which matched the compound right of left[from]).
bool LeftMatches(const CSelector& selector, size_t from, const IElementView& view)
{
    if (from == selector.left.size())
        return true;
    const auto& [combinator, compound] = selector.left[from];
    const bool once = combinator == L'>' || combinator == L'+';
    const bool sibling = combinator == L'+' || combinator == L'~';
    for (const IElementView* next = sibling ? view.PreviousElement() : view.ParentElement(); next;
         next = sibling ? next->PreviousElement() : next->ParentElement()) {
        if (CompoundMatches(compound, *next) && LeftMatches(selector, from + 1, *next))
            return true;
        if (once)
            break;
    }
    return false;
}

}  // namespace

std::wstring ToLower(std::wstring_view text)
{
    std::wstring out(text);
    for (wchar_t& c : out)
        c = static_cast<wchar_t>(std::towlower(c));
    return out;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    return a.size() == b.size() && ToLower(a) == ToLower(b);
}

std::wstring Trim(std::wstring_view text)
{
    size_t first = 0, last = text.size();
    while (first < last && IsSpace(text[first]))
        ++first;
    while (last > first && IsSpace(text[last - 1]))
        --last;
    return std::wstring(text.substr(first, last - first));
}

CDeclarations ParseDeclarations(std::wstring_view text)
{
    CDeclarations declarations;
    std::wstring clean = RemoveComments(text);
    for (std::wstring_view part : SplitOutside(clean, L';')) {
        size_t colon = part.find(L':');
        if (colon == std::wstring_view::npos)
            continue;
        CDeclaration declaration;
        declaration.property = ToLower(Trim(part.substr(0, colon)));
        std::wstring value = Trim(part.substr(colon + 1));
        size_t bang = value.rfind(L'!');
        if (bang != std::wstring::npos && EqualsIgnoringCase(Trim(std::wstring_view(value).substr(bang + 1)), L"important")) {
            declaration.important = true;
            value = Trim(std::wstring_view(value).substr(0, bang));
        }
        declaration.value = value;
        if (!declaration.property.empty())
            declarations.push_back(std::move(declaration));
    }
    return declarations;
}

std::wstring DeclarationsToText(const CDeclarations& declarations)
{
    std::wstring text;
    for (const CDeclaration& declaration : declarations) {
        if (!text.empty())
            text += L" ";
        text += declaration.property + L": " + declaration.value;
        if (declaration.important)
            text += L" !important";
        text += L";";
    }
    return text;
}

void SetDeclaration(CDeclarations& declarations, std::wstring_view property, std::wstring_view value)
{
    std::wstring name = ToLower(property);
    for (auto it = declarations.begin(); it != declarations.end();) {
        if (it->property == name)
            it = declarations.erase(it);
        else
            ++it;
    }
    if (!value.empty())
        declarations.push_back({name, std::wstring(value), false});
}

std::optional<std::wstring> FindDeclaration(const CDeclarations& declarations, std::wstring_view property)
{
    std::optional<std::wstring> found;
    bool important = false;
    for (const CDeclaration& declaration : declarations) {
        if (declaration.property != property || (important && !declaration.important))
            continue;
        found = declaration.value;
        important = declaration.important;
    }
    return found;
}

std::vector<CRule> ParseStyleSheet(std::wstring_view text)
{
    std::vector<CRule> rules;
    std::wstring clean = RemoveComments(text);
    size_t i = 0;
    while (i < clean.size()) {
        size_t open = clean.find(L'{', i);
        if (open == std::wstring::npos)
            break;
        size_t close = std::min(FindOutsideQuotes(clean, open + 1, [](wchar_t c) { return c == L'}'; }), clean.size());
        CRule rule;
        for (std::wstring_view selector : SplitOutside(std::wstring_view(clean).substr(i, open - i), L','))
            rule.selectors.push_back(ParseSelector(selector));
        rule.declarations = ParseDeclarations(std::wstring_view(clean).substr(open + 1, close - open - 1));
        rules.push_back(std::move(rule));
        i = close + 1;
    }
    return rules;
}

bool Matches(const CSelector& selector, const IElementView& element)
{
    return selector.valid && CompoundMatches(selector, element) && LeftMatches(selector, 0, element);
}

std::wstring BackgroundImageOfShorthand(std::wstring_view value)
{
    std::wstring lower = ToLower(value);
    size_t start = lower.find(L"url(");
    if (start == std::wstring::npos)
        return L"none";
    size_t close = FindOutsideQuotes(value, start + 4, [](wchar_t c) { return c == L')'; });
    return close == std::wstring_view::npos ? L"none" : std::wstring(value.substr(start, close - start + 1));
}

std::vector<std::wstring> BehaviorUrls(std::wstring_view value)
{
    std::vector<std::wstring> urls;
    std::wstring lower = ToLower(value);
    size_t i = 0;
    while ((i = lower.find(L"url(", i)) != std::wstring::npos) {
        size_t close = lower.find(L')', i);
        if (close == std::wstring::npos)
            break;
        std::wstring url = Trim(std::wstring_view(value).substr(i + 4, close - i - 4));
        if (url.size() >= 2 && (url[0] == L'"' || url[0] == L'\'') && url.back() == url[0])
            url = url.substr(1, url.size() - 2);
        urls.push_back(url);
        i = close + 1;
    }
    return urls;
}

}  // namespace StandIn
