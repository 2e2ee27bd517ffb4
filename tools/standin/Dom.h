#pragma once
// The stand-in document's tree: elements, text and markup kept verbatim,
// parsed from a small subset of HTML and written back as HTML.
//
// The parser knows start and end tags with attributes (quoted or not, the
// common character references decoded), void elements, comments (dropped),
// "<!...>" declarations (kept), and the raw text of script, style, title
// and textarea. It does not imply elements: a page without <head> has no
// head element. An end tag closes the nearest open element of its name;
// one without an open element is ignored.

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/standin/Css.h"
#include "tools/standin/StandInDocument.h"

namespace StandIn {

class CElement;
class CStyle;

struct CNode final : IStandInElement, IElementView
{
    enum class Kind { Element, Text, Markup };

    Kind kind = Kind::Element;
    std::wstring tag;  // lower case
    // Every attribute but "style", names in lower case, in document order.
    std::vector<std::pair<std::wstring, std::wstring>> attributes;
    std::wstring text;  // a text or markup node's text, as written
    CNode* parent = nullptr;
    std::vector<CNode*> children;

    // The "style" attribute, as declarations.
    CDeclarations inlineStyle;
    // Style elements: the sheet's text and its rules.
    std::wstring sheetText;
    std::vector<CRule> rules;

    // What tests observe and steer.
    std::vector<std::wstring> styleWrites;
    HRESULT styleWriteFailure = S_OK;
    std::vector<std::wstring> triedBehaviorUrls;  // lower case
    std::vector<CStandInBehaviorRecord> behaviors;

    // The live COM objects of this node (weak: each clears its own entry).
    CElement* element = nullptr;
    CStyle* style = nullptr;

    // IStandInElement: the node's own data, valid as long as the document.
    std::wstring Tag() const override { return tag; }
    std::optional<std::wstring> Attribute(std::wstring_view name) const override;
    std::wstring InlineStyle(std::wstring_view property) const override;
    std::vector<std::wstring> StyleWrites() const override { return styleWrites; }
    void FailStyleWrites(HRESULT hr) override { styleWriteFailure = hr; }
    std::vector<CStandInBehaviorRecord> Behaviors() const override { return behaviors; }

    bool IsElement() const { return kind == Kind::Element; }
    const std::wstring* FindAttribute(std::wstring_view name) const;
    // "style" replaces the inline style; a style element's type is kept as
    // any other attribute.
    void SetAttribute(std::wstring_view name, std::wstring_view value);
    bool RemoveAttribute(std::wstring_view name);
    // IElementView: elements only; the document's root is no element.
    CElementFacts Facts() const override;
    const IElementView* ParentElement() const override;
    const IElementView* PreviousElement() const override;
    void SetSheetText(std::wstring_view text);
    // True while the node is below root (or is it).
    bool IsUnder(const CNode* root) const;
};

// Owns every node of one document, attached or not.
class CNodeArena
{
public:
    CNode* New(CNode::Kind kind);

private:
    std::vector<std::unique_ptr<CNode>> m_nodes;
};

void ParseHtml(std::wstring_view html, CNode& root, CNodeArena& arena);
// Attributes as they stand inside a start tag: name="value" name='v' name=v name.
std::vector<std::pair<std::wstring, std::wstring>> ParseAttributes(std::wstring_view text);
void InsertChild(CNode& parent, size_t index, CNode& child);
std::wstring SerializeChildren(const CNode& node);
// Elements below root in document order (root itself excluded).
std::vector<CNode*> ElementsBelow(const CNode& root);

}  // namespace StandIn
