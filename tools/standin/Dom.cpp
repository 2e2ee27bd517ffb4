#include "tools/standin/Dom.h"

#include <algorithm>
#include <cwctype>

namespace StandIn {

namespace {

const wchar_t* const kVoidElements[] = {L"area", L"base", L"br", L"col", L"embed", L"frame", L"hr", L"img",
                                        L"input", L"link", L"meta", L"param", L"source", L"wbr"};
const wchar_t* const kRawTextElements[] = {L"script", L"style", L"title", L"textarea"};

template <size_t N>
bool IsOneOf(std::wstring_view tag, const wchar_t* const (&names)[N])
{
    return std::any_of(std::begin(names), std::end(names), [&](const wchar_t* name) { return tag == name; });
}

bool IsSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n' || c == L'\f';
}

std::wstring DecodeReferences(std::wstring_view text)
{
    static const std::pair<const wchar_t*, wchar_t> kNamed[] = {
        {L"amp", L'&'}, {L"lt", L'<'}, {L"gt", L'>'}, {L"quot", L'"'}, {L"apos", L'\''}, {L"nbsp", 0xA0}};
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        size_t semicolon = text[i] == L'&' ? text.find(L';', i) : std::wstring_view::npos;
        if (semicolon == std::wstring_view::npos || semicolon - i > 10) {
            out += text[i];
            continue;
        }
        std::wstring_view name = text.substr(i + 1, semicolon - i - 1);
        bool decoded = false;
        if (name.size() > 1 && name[0] == L'#') {
            bool hex = name[1] == L'x' || name[1] == L'X';
            std::wstring digits(name.substr(hex ? 2 : 1));
            wchar_t* end = nullptr;
            unsigned long code = digits.empty() ? 0 : std::wcstoul(digits.c_str(), &end, hex ? 16 : 10);
            if (end && *end == 0 && code > 0 && code <= 0xFFFF) {
                out += static_cast<wchar_t>(code);
                decoded = true;
            }
        } else {
            for (const auto& [entity, character] : kNamed) {
                if (name == entity) {
                    out += character;
                    decoded = true;
                }
            }
        }
        if (decoded)
            i = semicolon;
        else
            out += text[i];
    }
    return out;
}

std::wstring EscapeAttribute(std::wstring_view text)
{
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'&')
            out += L"&amp;";
        else if (c == L'"')
            out += L"&quot;";
        else if (c == L'<')
            out += L"&lt;";
        else
            out += c;
    }
    return out;
}

// The ">" that ends a tag starting at start, outside quoted attribute values.
size_t FindTagEnd(std::wstring_view html, size_t start)
{
    wchar_t quote = 0;
    for (size_t i = start; i < html.size(); ++i) {
        wchar_t c = html[i];
        if (quote) {
            if (c == quote)
                quote = 0;
        } else if (c == L'"' || c == L'\'') {
            // Quotes open a value only after "=" (possibly with spaces).
            size_t before = i;
            while (before > start && IsSpace(html[before - 1]))
                --before;
            if (before > start && html[before - 1] == L'=')
                quote = c;
        } else if (c == L'>') {
            return i;
        }
    }
    return std::wstring_view::npos;
}

size_t FindIgnoringCase(std::wstring_view text, std::wstring_view what, size_t from)
{
    std::wstring lowerText = ToLower(text);
    return lowerText.find(ToLower(what), from);
}

void Serialize(const CNode& node, std::wstring& out)
{
    if (node.kind != CNode::Kind::Element) {
        out += node.text;
        return;
    }
    out += L"<" + node.tag;
    for (const auto& [name, value] : node.attributes)
        out += L" " + name + L"=\"" + EscapeAttribute(value) + L"\"";
    if (!node.inlineStyle.empty())
        out += L" style=\"" + EscapeAttribute(DeclarationsToText(node.inlineStyle)) + L"\"";
    out += L">";
    if (IsOneOf(node.tag, kVoidElements))
        return;
    if (node.tag == L"style")
        out += node.sheetText;
    for (const CNode* child : node.children)
        Serialize(*child, out);
    out += L"</" + node.tag + L">";
}

void CollectElements(const CNode& node, std::vector<CNode*>& out)
{
    for (CNode* child : node.children) {
        if (!child->IsElement())
            continue;
        out.push_back(child);
        CollectElements(*child, out);
    }
}

}  // namespace

std::optional<std::wstring> CNode::Attribute(std::wstring_view name) const
{
    if (EqualsIgnoringCase(name, L"style")) {
        if (inlineStyle.empty())
            return std::nullopt;
        return DeclarationsToText(inlineStyle);
    }
    if (const std::wstring* value = FindAttribute(name))
        return *value;
    return std::nullopt;
}

std::wstring CNode::InlineStyle(std::wstring_view property) const
{
    return FindDeclaration(inlineStyle, ToLower(property)).value_or(L"");
}

const std::wstring* CNode::FindAttribute(std::wstring_view name) const
{
    std::wstring lower = ToLower(name);
    for (const auto& attribute : attributes) {
        if (attribute.first == lower)
            return &attribute.second;
    }
    return nullptr;
}

void CNode::SetAttribute(std::wstring_view name, std::wstring_view value)
{
    std::wstring lower = ToLower(name);
    if (lower == L"style") {
        inlineStyle = ParseDeclarations(value);
        return;
    }
    for (auto& attribute : attributes) {
        if (attribute.first == lower) {
            attribute.second = value;
            return;
        }
    }
    attributes.emplace_back(lower, std::wstring(value));
}

bool CNode::RemoveAttribute(std::wstring_view name)
{
    std::wstring lower = ToLower(name);
    if (lower == L"style") {
        bool had = !inlineStyle.empty();
        inlineStyle.clear();
        return had;
    }
    auto it = std::find_if(attributes.begin(), attributes.end(), [&](const auto& a) { return a.first == lower; });
    if (it == attributes.end())
        return false;
    attributes.erase(it);
    return true;
}

CElementFacts CNode::Facts() const
{
    CElementFacts facts;
    facts.tag = tag;
    facts.attributes = attributes;
    if (const std::wstring* id = FindAttribute(L"id"))
        facts.id = *id;
    if (const std::wstring* classes = FindAttribute(L"class")) {
        std::wstring current;
        for (wchar_t c : *classes + L" ") {
            if (!IsSpace(c)) {
                current += c;
            } else if (!current.empty()) {
                facts.classes.push_back(current);
                current.clear();
            }
        }
    }
    return facts;
}

const IElementView* CNode::ParentElement() const
{
    return parent && parent->parent ? parent : nullptr;
}

const IElementView* CNode::PreviousElement() const
{
    if (!parent)
        return nullptr;
    const CNode* previous = nullptr;
    for (const CNode* sibling : parent->children) {
        if (sibling == this)
            return previous;
        if (sibling->IsElement())
            previous = sibling;
    }
    return nullptr;
}

void CNode::SetSheetText(std::wstring_view text)
{
    sheetText = text;
    rules = ParseStyleSheet(text);
}

bool CNode::IsUnder(const CNode* root) const
{
    for (const CNode* node = this; node; node = node->parent) {
        if (node == root)
            return true;
    }
    return false;
}

CNode* CNodeArena::New(CNode::Kind kind)
{
    m_nodes.push_back(std::make_unique<CNode>());
    m_nodes.back()->kind = kind;
    return m_nodes.back().get();
}

std::vector<std::pair<std::wstring, std::wstring>> ParseAttributes(std::wstring_view text)
{
    std::vector<std::pair<std::wstring, std::wstring>> attributes;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (IsSpace(text[i]) || text[i] == L'/'))
            ++i;
        size_t nameStart = i;
        while (i < text.size() && !IsSpace(text[i]) && text[i] != L'=' && text[i] != L'/')
            ++i;
        if (i == nameStart)
            break;
        std::wstring name = ToLower(text.substr(nameStart, i - nameStart));
        while (i < text.size() && IsSpace(text[i]))
            ++i;
        std::wstring value;
        if (i < text.size() && text[i] == L'=') {
            ++i;
            while (i < text.size() && IsSpace(text[i]))
                ++i;
            if (i < text.size() && (text[i] == L'"' || text[i] == L'\'')) {
                wchar_t quote = text[i++];
                size_t end = text.find(quote, i);
                if (end == std::wstring_view::npos)
                    end = text.size();
                value = DecodeReferences(text.substr(i, end - i));
                i = end + 1;
            } else {
                size_t start = i;
                while (i < text.size() && !IsSpace(text[i]))
                    ++i;
                value = DecodeReferences(text.substr(start, i - start));
            }
        }
        // As in HTML, the first of two equal names counts.
        bool seen = std::any_of(attributes.begin(), attributes.end(), [&](const auto& a) { return a.first == name; });
        if (!seen)
            attributes.emplace_back(std::move(name), std::move(value));
    }
    return attributes;
}

void InsertChild(CNode& parent, size_t index, CNode& child)
{
    child.parent = &parent;
    parent.children.insert(parent.children.begin() + static_cast<std::ptrdiff_t>(std::min(index, parent.children.size())),
                           &child);
}

void ParseHtml(std::wstring_view html, CNode& root, CNodeArena& arena)
{
    std::vector<CNode*> open{&root};
    auto append = [&](CNode* node) { InsertChild(*open.back(), open.back()->children.size(), *node); };
    auto appendText = [&](std::wstring_view text) {
        if (text.empty())
            return;
        CNode* node = arena.New(CNode::Kind::Text);
        node->text = text;
        append(node);
    };

    size_t i = 0;
    while (i < html.size()) {
        if (html[i] != L'<') {
            size_t next = html.find(L'<', i);
            if (next == std::wstring_view::npos)
                next = html.size();
            appendText(html.substr(i, next - i));
            i = next;
            continue;
        }
        if (html.compare(i, 4, L"<!--") == 0) {
            size_t end = html.find(L"-->", i + 4);
            i = end == std::wstring_view::npos ? html.size() : end + 3;
            continue;
        }
        size_t close = FindTagEnd(html, i);
        if (close == std::wstring_view::npos) {
            appendText(html.substr(i));
            break;
        }
        if (html.compare(i, 2, L"<!") == 0) {
            CNode* markup = arena.New(CNode::Kind::Markup);
            markup->text = html.substr(i, close + 1 - i);
            append(markup);
            i = close + 1;
            continue;
        }
        bool isEnd = html.compare(i, 2, L"</") == 0;
        size_t nameStart = i + (isEnd ? 2 : 1);
        size_t nameEnd = nameStart;
        while (nameEnd < close && (std::iswalnum(html[nameEnd]) || html[nameEnd] == L'-'))
            ++nameEnd;
        if (nameEnd == nameStart) {
            appendText(html.substr(i, 1));
            ++i;
            continue;
        }
        std::wstring tag = ToLower(html.substr(nameStart, nameEnd - nameStart));
        i = close + 1;
        if (isEnd) {
            for (size_t depth = open.size(); depth > 1; --depth) {
                if (open[depth - 1]->tag == tag) {
                    open.resize(depth - 1);
                    break;
                }
            }
            continue;
        }
        CNode* element = arena.New(CNode::Kind::Element);
        element->tag = tag;
        std::wstring_view attributeText = html.substr(nameEnd, close - nameEnd);
        bool selfClosing = !attributeText.empty() && attributeText.back() == L'/';
        for (auto& [name, value] : ParseAttributes(attributeText))
            element->SetAttribute(name, value);
        append(element);
        if (IsOneOf(tag, kRawTextElements)) {
            size_t end = FindIgnoringCase(html, L"</" + tag, i);
            if (end == std::wstring::npos)
                end = html.size();
            std::wstring_view content = html.substr(i, end - i);
            if (tag == L"style") {
                element->SetSheetText(content);
            } else if (!content.empty()) {
                CNode* text = arena.New(CNode::Kind::Text);
                text->text = content;
                InsertChild(*element, 0, *text);
            }
            size_t endClose = end < html.size() ? html.find(L'>', end) : std::wstring_view::npos;
            i = endClose == std::wstring_view::npos ? html.size() : endClose + 1;
            continue;
        }
        if (!selfClosing && !IsOneOf(tag, kVoidElements))
            open.push_back(element);
    }
}

std::wstring SerializeChildren(const CNode& node)
{
    std::wstring out;
    for (const CNode* child : node.children)
        Serialize(*child, out);
    return out;
}

std::vector<CNode*> ElementsBelow(const CNode& root)
{
    std::vector<CNode*> elements;
    CollectElements(root, elements);
    return elements;
}

}  // namespace StandIn
