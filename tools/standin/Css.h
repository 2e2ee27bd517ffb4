#pragma once
// The small part of CSS the stand-in document understands: declaration
// lists ("display: none; background-image: url(a.png)"), style sheets of
// rules whose selectors are "*", a tag, ".class", "#id" or a tag with
// classes and an id (lists with ","; rules with any other selector are
// kept but match nothing), specificity, "!important" and the cascade.
// Property names are kept in lower case; values as written.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace StandIn {

struct CDeclaration
{
    std::wstring property;
    std::wstring value;
    bool important = false;
};
using CDeclarations = std::vector<CDeclaration>;

CDeclarations ParseDeclarations(std::wstring_view text);
std::wstring DeclarationsToText(const CDeclarations& declarations);
// Replaces the property's declaration (or appends one); an empty value
// removes it.
void SetDeclaration(CDeclarations& declarations, std::wstring_view property, std::wstring_view value);
// The value that wins among the declarations of one list, if any.
std::optional<std::wstring> FindDeclaration(const CDeclarations& declarations, std::wstring_view property);

struct CSelector
{
    std::wstring tag;  // empty for "*" or none
    std::wstring id;
    std::vector<std::wstring> classes;
    bool valid = false;
    // (ids, classes, tags) as one comparable number.
    int Specificity() const { return static_cast<int>(id.empty() ? 0 : 10000) + static_cast<int>(classes.size()) * 100 + (tag.empty() ? 0 : 1); }
};

struct CRule
{
    std::vector<CSelector> selectors;
    CDeclarations declarations;
};

std::vector<CRule> ParseStyleSheet(std::wstring_view text);

// What a selector needs to know of an element.
struct CElementFacts
{
    std::wstring tag;  // lower case
    std::wstring id;
    std::vector<std::wstring> classes;
};
bool Matches(const CSelector& selector, const CElementFacts& element);

// The url(...) part of a "background" shorthand value, or "none".
std::wstring BackgroundImageOfShorthand(std::wstring_view value);
// Every url(...) of a "behavior" value, without url( ) and quotes.
std::vector<std::wstring> BehaviorUrls(std::wstring_view value);

std::wstring ToLower(std::wstring_view text);
bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b);
std::wstring Trim(std::wstring_view text);

}  // namespace StandIn
