#pragma once
// The small part of CSS the stand-in document understands: declaration
// lists ("display: none; background-image: url(a.png)"), style sheets of
// rules whose selectors are those Internet Explorer 7 applies (Microsoft's
// "CSS Compatibility and Internet Explorer" tables): "*", a tag, ".class",
// "#id", "[a]", "[a=v]", "[a~=v]", "[a|=v]", "[a^=v]", "[a$=v]", "[a*=v]"
// and ":first-child", joined by the descendant, ">", "+" and "~"
// combinators; lists with ","; a selector with anything else is kept but
// matches nothing, as the browser drops it), specificity, "!important" and
// the cascade.
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

struct CAttributeTest
{
    std::wstring name;  // lower case
    wchar_t op = 0;     // 0 (present), '=', '~', '|', '^', '$', '*'
    std::wstring value;
};

// One compound selector: "div.a#b[x]:first-child".
struct CCompound
{
    std::wstring tag;  // empty for "*" or none
    std::wstring id;
    std::vector<std::wstring> classes;
    std::vector<CAttributeTest> attributes;
    bool firstChild = false;
    // (ids, classes, tags) as one comparable number.
    int Specificity() const
    {
        return static_cast<int>(id.empty() ? 0 : 10000) +
               static_cast<int>(classes.size() + attributes.size() + firstChild) * 100 + (tag.empty() ? 0 : 1);
    }
};

// The subject compound, and the compounds left of it from the nearest on,
// each with the combinator that joins it (' ', '>', '+', '~').
struct CSelector : CCompound
{
    std::vector<std::pair<wchar_t, CCompound>> left;
    bool valid = false;
    int Specificity() const
    {
        int total = CCompound::Specificity();
        for (const auto& part : left)
            total += part.second.Specificity();
        return total;
    }
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
    std::vector<std::pair<std::wstring, std::wstring>> attributes;  // names in lower case
};

// An element as combinators walk the tree: null where the document ends.
struct IElementView
{
    virtual CElementFacts Facts() const = 0;
    virtual const IElementView* ParentElement() const = 0;
    virtual const IElementView* PreviousElement() const = 0;

protected:
    ~IElementView() = default;
};
bool Matches(const CSelector& selector, const IElementView& element);

// The url(...) part of a "background" shorthand value, or "none".
std::wstring BackgroundImageOfShorthand(std::wstring_view value);
// Every url(...) of a "behavior" value, without url( ) and quotes.
std::vector<std::wstring> BehaviorUrls(std::wstring_view value);

std::wstring ToLower(std::wstring_view text);
bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b);
std::wstring Trim(std::wstring_view text);

}  // namespace StandIn
