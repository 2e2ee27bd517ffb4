#include "engine/FilterEdit.h"

#include <string_view>

#include "engine/FilterRule.h"
#include "engine/RegexSearch.h"

std::wstring CheckFilterText(const wchar_t* text)
{
    FilterRule* parsed = nullptr;
    if (!ParseFilter(text, &parsed))
        return L"Invalid filter syntax.";
    const CFilterRulePtr rule(parsed);

    if (rule->isRegex) {
        const int code = CheckRegexSyntax(std::wstring_view(rule->body, rule->length));
        if (code >= 0)
            return std::wstring(L"Invalid regular expression; ") + RegexErrorText(code) + L".";
    } else if (const wchar_t* problem = CheckWildcard(rule->body)) {
        return std::wstring(L"Invalid wildcard expression; ") + problem + L".";
    }
    return std::wstring();
}
