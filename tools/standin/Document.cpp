#include <windows.h>
#include <servprov.h>
#include <wininet.h>

#include <algorithm>
#include <stdexcept>
#include <tuple>

#include "com/Bstr.h"
#include "com/Error.h"
#include "com/Handle.h"
#include "com/InterfaceId.h"
#include "tools/standin/Objects.h"

namespace StandIn {

namespace {

constexpr wchar_t kDefaultBehaviorsKey[] = L"SOFTWARE\\Microsoft\\Internet Explorer\\Default Behaviors";
constexpr std::wstring_view kDefaultBehaviorPrefix = L"#default#";
constexpr std::wstring_view kClsidPrefix = L"CLSID:";

// The tags that CreateElement makes.
const std::pair<ELEMENT_TAG_ID, const wchar_t*> kCreatableTags[] = {
    {TAGID_A, L"a"},       {TAGID_DIV, L"div"},       {TAGID_IFRAME, L"iframe"}, {TAGID_IMG, L"img"},
    {TAGID_P, L"p"},       {TAGID_SCRIPT, L"script"}, {TAGID_SPAN, L"span"},     {TAGID_STYLE, L"style"},
};

bool StartsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix)
{
    return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// The factory registered as the browser's default behavior name.
HRESULT CreateRegisteredFactory(const std::wstring& name, CComPtr<IElementBehaviorFactory>& factory)
{
    CRegKey key;
    LONG error = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDefaultBehaviorsKey, 0, KEY_QUERY_VALUE, key.Put());
    if (error != ERROR_SUCCESS)
        return HResultFromWin32(error);
    wchar_t value[128] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    DWORD type = 0;
    error = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    if (error != ERROR_SUCCESS)
        return HResultFromWin32(error);
    std::wstring text(value);
    if (type != REG_SZ || !StartsWithIgnoringCase(text, kClsidPrefix))
        return REGDB_E_INVALIDVALUE;
    std::wstring braced = L"{" + text.substr(kClsidPrefix.size()) + L"}";
    CLSID clsid;
    HRESULT hr = CLSIDFromString(&braced[0], &clsid);
    if (FAILED(hr))
        return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IidOf<IElementBehaviorFactory>(),
                            factory.PutVoid());
}

// A frame's window as the page sees it.
class CFrameWindow final : public CObject<CFrameWindow, CStubIHTMLWindow2, IServiceProvider>
{
public:
    explicit CFrameWindow(IWebBrowser2* browser) : m_browser(browser) {}

    void* Find(REFIID riid)
    {
        if (InlineIsEqualGUID(riid, IID_IDispatch) || InlineIsEqualGUID(riid, IidOf<IHTMLFramesCollection2>()) ||
            InlineIsEqualGUID(riid, IidOf<IHTMLWindow2>()))
            return static_cast<IHTMLWindow2*>(this);
        if (InlineIsEqualGUID(riid, IID_IServiceProvider))
            return static_cast<IServiceProvider*>(this);
        return nullptr;
    }

    STDMETHODIMP QueryService(REFGUID guidService, REFIID riid, void** ppvObject) override
    {
        if (!ppvObject)
            return E_POINTER;
        *ppvObject = nullptr;
        if (!InlineIsEqualGUID(guidService, IID_IWebBrowserApp))
            return E_NOINTERFACE;
        return m_browser->QueryInterface(riid, ppvObject);
    }

private:
    CComPtr<IWebBrowser2> m_browser;
};

// The frames of a document, as they were when it was asked for.
class CFrames final : public CObject<CFrames, CStubIHTMLFramesCollection2>
{
public:
    explicit CFrames(std::vector<CComPtr<IWebBrowser2>> frames) : m_frames(std::move(frames)) {}

    void* Find(REFIID riid)
    {
        if (InlineIsEqualGUID(riid, IID_IDispatch) || InlineIsEqualGUID(riid, IidOf<IHTMLFramesCollection2>()))
            return static_cast<IHTMLFramesCollection2*>(this);
        return nullptr;
    }

    STDMETHODIMP get_length(LONG* p) override
    {
        if (!p)
            return E_POINTER;
        *p = static_cast<LONG>(m_frames.size());
        return S_OK;
    }
    STDMETHODIMP item(VARIANT* pvarIndex, VARIANT* pvarResult) override
    {
        if (!pvarIndex || !pvarResult)
            return E_POINTER;
        VariantInit(pvarResult);
        LONG index = -1;
        if (V_VT(pvarIndex) == VT_I4)
            index = V_I4(pvarIndex);
        else if (V_VT(pvarIndex) == VT_I2)
            index = V_I2(pvarIndex);
        if (index < 0 || static_cast<std::size_t>(index) >= m_frames.size())
            return E_INVALIDARG;
        return CallAtBoundary([&] {
            V_VT(pvarResult) = VT_DISPATCH;
            V_DISPATCH(pvarResult) = CFrameWindow::Make(m_frames[static_cast<std::size_t>(index)].Get()).Detach();
        });
    }

private:
    std::vector<CComPtr<IWebBrowser2>> m_frames;
};

}  // namespace

CDocument::CDocument(std::wstring_view url, const CStandInOptions& options)
    : m_url(url), m_options(options), m_root(m_arena.New(CNode::Kind::Element))
{
}

CDocument::~CDocument()
{
    Close();
}

void CDocument::Load(std::wstring_view html)
{
    ParseHtml(html, *m_root, m_arena);
    ApplyBehaviors();
}

void* CDocument::Find(REFIID riid)
{
    if (InlineIsEqualGUID(riid, IID_IDispatch) || InlineIsEqualGUID(riid, IidOf<IHTMLDocument>()) ||
        InlineIsEqualGUID(riid, IidOf<IHTMLDocument2>()))
        return static_cast<IHTMLDocument2*>(this);
    if (InlineIsEqualGUID(riid, IidOf<IHTMLDocument3>()))
        return static_cast<IHTMLDocument3*>(this);
    if (InlineIsEqualGUID(riid, IidOf<IMarkupServices>()))
        return static_cast<IMarkupServices*>(this);
    if (InlineIsEqualGUID(riid, kDocumentObjectId))
        return this;
    return nullptr;
}

STDMETHODIMP CDocument::get_all(IHTMLElementCollection** p)
{
    if (!p)
        return E_POINTER;
    *p = nullptr;
    return CallAtBoundary([&] { MakeCollection(ElementsBelow(*m_root)).CopyTo(p); });
}

STDMETHODIMP CDocument::get_URL(BSTR* p)
{
    if (!p)
        return E_POINTER;
    *p = nullptr;
    return CallAtBoundary([&] { *p = AllocateBstr(m_url); });
}

STDMETHODIMP CDocument::get_frames(IHTMLFramesCollection2** p)
{
    if (!p)
        return E_POINTER;
    *p = nullptr;
    return CallAtBoundary([&] { *p = CFrames::Make(m_frames).Detach(); });
}

STDMETHODIMP CDocument::getElementsByTagName(BSTR v, IHTMLElementCollection** pelColl)
{
    if (!pelColl)
        return E_POINTER;
    *pelColl = nullptr;
    return CallAtBoundary([&] {
        std::wstring tag = ToLower(v ? v : L"");
        std::vector<CNode*> matching;
        for (CNode* node : ElementsBelow(*m_root)) {
            if (tag == L"*" || node->tag == tag)
                matching.push_back(node);
        }
        MakeCollection(matching).CopyTo(pelColl);
    });
}

STDMETHODIMP CDocument::CreateMarkupPointer(IMarkupPointer** ppPointer)
{
    if (!ppPointer)
        return E_POINTER;
    *ppPointer = nullptr;
    return CallAtBoundary([&] { CMarkupPointer::Make(this).CopyTo(ppPointer); });
}

STDMETHODIMP CDocument::CreateElement(ELEMENT_TAG_ID tagID, OLECHAR* pchAttributes, IHTMLElement** ppElement)
{
    if (!ppElement)
        return E_POINTER;
    *ppElement = nullptr;
    const wchar_t* tag = nullptr;
    for (const auto& [id, name] : kCreatableTags) {
        if (id == tagID)
            tag = name;
    }
    if (!tag)
        return E_NOTIMPL;
    return CallAtBoundary([&] {
        CNode* node = m_arena.New(CNode::Kind::Element);
        node->tag = tag;
        for (auto& [name, value] : ParseAttributes(pchAttributes ? pchAttributes : L""))
            node->SetAttribute(name, value);
        ElementFor(node).CopyTo(ppElement);
    });
}

STDMETHODIMP CDocument::InsertElement(IHTMLElement* pElementInsert, IMarkupPointer* pPointerStart,
                                      IMarkupPointer* pPointerFinish)
{
    CElement* element = OwnElement(pElementInsert);
    CComPtr<CMarkupPointer> start, finish;
    if (!element || !pPointerStart ||
        FAILED(pPointerStart->QueryInterface(kMarkupPointerObjectId, start.PutVoid())))
        return E_INVALIDARG;
    if (pPointerFinish && FAILED(pPointerFinish->QueryInterface(kMarkupPointerObjectId, finish.PutVoid())))
        return E_INVALIDARG;
    if (!start->IsPositionedHere() || (finish && !finish->IsPositionedHere()))
        return E_UNEXPECTED;
    // Only an empty range is modelled: wrapping existing content is not.
    if (finish && (finish->Container() != start->Container() || finish->Index() != start->Index()))
        return E_NOTIMPL;
    CNode& node = element->Node();
    if (node.parent || &node == m_root || !start->Container()->IsUnder(m_root))
        return E_UNEXPECTED;
    return CallAtBoundary([&] {
        InsertChild(*start->Container(), start->Index(), node);
        ApplyBehaviors();
    });
}

CComPtr<IHTMLElement> CDocument::ElementById(std::wstring_view id)
{
    for (CNode* node : ElementsBelow(*m_root)) {
        const std::wstring* value = node->FindAttribute(L"id");
        if (value && *value == id)
            return CComPtr<IHTMLElement>(ElementFor(node).Get());
    }
    return nullptr;
}

std::vector<CComPtr<IHTMLElement>> CDocument::Elements()
{
    std::vector<CComPtr<IHTMLElement>> elements;
    for (CNode* node : ElementsBelow(*m_root))
        elements.emplace_back(ElementFor(node).Get());
    return elements;
}

std::wstring CDocument::BaseUrl()
{
    for (CNode* node : ElementsBelow(*m_root)) {
        const std::wstring* href = node->tag == L"base" ? node->FindAttribute(L"href") : nullptr;
        if (!href || href->empty())
            continue;
        wchar_t absolute[INTERNET_MAX_URL_LENGTH];
        DWORD length = INTERNET_MAX_URL_LENGTH;
        if (InternetCombineUrlW(m_url.c_str(), href->c_str(), absolute, &length, 0))
            return std::wstring(absolute, length);
        break;
    }
    return m_url;
}

std::wstring CDocument::ToHtml()
{
    return SerializeChildren(*m_root);
}

void CDocument::Close()
{
    std::vector<CKeptBehavior> kept;
    kept.swap(m_kept);
    for (CKeptBehavior& entry : kept)
        entry.behavior->Detach();
    kept.clear();
    m_factories.clear();
    m_options.behaviorFactories.clear();
    m_frames.clear();
    m_closed = true;
}

CComPtr<CElement> CDocument::ElementFor(CNode* node)
{
    if (node->element)
        return CComPtr<CElement>(node->element);
    return CElement::Make(this, node);
}

CElement* CDocument::OwnElement(IUnknown* object)
{
    CComPtr<CElement> element;
    if (!object || FAILED(object->QueryInterface(kElementObjectId, element.PutVoid())) ||
        &element->Document() != this)
        return nullptr;
    // The caller's reference keeps it alive.
    return element.Get();
}

std::optional<std::pair<std::wstring, std::wstring>> CDocument::Cascade(const CNode& node,
                                                                        std::wstring_view property,
                                                                        std::wstring_view shorthand) const
{
    // Priority: !important first, then specificity (inline highest), then
    // the later declaration.
    using Priority = std::tuple<bool, int, int>;
    std::optional<Priority> best;
    std::optional<std::pair<std::wstring, std::wstring>> winner;
    int order = 0;
    auto consider = [&](const CDeclarations& declarations, int specificity) {
        for (const CDeclaration& declaration : declarations) {
            ++order;
            if (declaration.property != property && (shorthand.empty() || declaration.property != shorthand))
                continue;
            Priority priority{declaration.important, specificity, order};
            if (!best || *best < priority) {
                best = priority;
                winner = std::make_pair(declaration.property, declaration.value);
            }
        }
    };
    for (const CNode* sheet : ElementsBelow(*m_root)) {
        if (sheet->tag != L"style")
            continue;
        for (const CRule& rule : sheet->rules) {
            int specificity = -1;
            for (const CSelector& selector : rule.selectors) {
                if (Matches(selector, node))
                    specificity = std::max(specificity, selector.Specificity());
            }
            if (specificity >= 0)
                consider(rule.declarations, specificity);
        }
    }
    consider(node.inlineStyle, 1000000);
    return winner;
}

void CDocument::ApplyBehaviors()
{
    if (m_closed)
        return;
    if (m_applying) {
        m_applyAgain = true;
        return;
    }
    struct CRunning
    {
        bool& flag;
        ~CRunning() { flag = false; }
    } running{m_applying};
    m_applying = true;
    do {
        m_applyAgain = false;
        // Nodes live as long as the document, so the list stays valid while
        // behaviors change the tree; nodes that left it are skipped.
        for (CNode* node : ElementsBelow(*m_root)) {
            if (!node->IsUnder(m_root))
                continue;
            auto value = Cascade(*node, L"behavior");
            if (!value)
                continue;
            for (const std::wstring& url : BehaviorUrls(value->second)) {
                std::wstring key = ToLower(url);
                auto& tried = node->triedBehaviorUrls;
                if (std::find(tried.begin(), tried.end(), key) != tried.end())
                    continue;
                tried.push_back(key);
                Attach(*node, url);
            }
        }
    } while (m_applyAgain);
}

void CDocument::Attach(CNode& node, const std::wstring& url)
{
    CStandInBehaviorRecord record;
    record.url = url;
    if (!StartsWithIgnoringCase(url, kDefaultBehaviorPrefix)) {
        // Behaviors from files are not modelled.
        record.factoryResult = E_NOTIMPL;
        node.behaviors.push_back(record);
        return;
    }
    std::wstring name = url.substr(kDefaultBehaviorPrefix.size());
    const CFactory& factory = FactoryFor(name);
    record.factoryResult = factory.result;
    if (SUCCEEDED(factory.result)) {
        CComPtr<IElementBehaviorFactory> factoryObject = factory.factory;
        CComPtr<CElement> element = ElementFor(&node);
        CComPtr<CBehaviorSite> site = CBehaviorSite::Make(element.Get());
        CComBSTR nameText(name), urlText(url);
        CComPtr<IElementBehavior> behavior;
        HRESULT found = factoryObject->FindBehavior(nameText, urlText, site, behavior.Put());
        record.findResult = found;
        if (SUCCEEDED(found) && behavior) {
            HRESULT initialised = behavior->Init(site);
            record.initResult = initialised;
            if (SUCCEEDED(initialised)) {
                record.kept = true;
                m_kept.push_back({behavior, CComPtr<IElementBehaviorSite>(site.Get())});
            }
        }
    }
    node.behaviors.push_back(record);
}

const CDocument::CFactory& CDocument::FactoryFor(const std::wstring& name)
{
    std::wstring key = ToLower(name);
    for (const CFactory& factory : m_factories) {
        if (factory.name == key)
            return factory;
    }
    CFactory factory{key, E_FAIL, nullptr};
    bool given = false;
    for (const auto& [givenName, givenFactory] : m_options.behaviorFactories) {
        if (!given && EqualsIgnoringCase(givenName, name)) {
            factory.factory = givenFactory;
            factory.result = givenFactory ? S_OK : E_POINTER;
            given = true;
        }
    }
    if (!given)
        factory.result = CreateRegisteredFactory(name, factory.factory);
    m_factories.push_back(std::move(factory));
    return m_factories.back();
}

CComPtr<IHTMLElementCollection> CDocument::MakeCollection(const std::vector<CNode*>& nodes)
{
    std::vector<CComPtr<CElement>> elements;
    for (CNode* node : nodes)
        elements.push_back(ElementFor(node));
    return CComPtr<IHTMLElementCollection>(CCollection::Make(std::move(elements)).Get());
}

void* CCollection::Find(REFIID riid)
{
    if (InlineIsEqualGUID(riid, IID_IDispatch) || InlineIsEqualGUID(riid, IidOf<IHTMLElementCollection>()))
        return static_cast<IHTMLElementCollection*>(this);
    return nullptr;
}

STDMETHODIMP CCollection::get_length(LONG* p)
{
    if (!p)
        return E_POINTER;
    *p = static_cast<LONG>(m_elements.size());
    return S_OK;
}

STDMETHODIMP CCollection::get__newEnum(IUnknown** p)
{
    if (!p)
        return E_POINTER;
    *p = nullptr;
    return CallAtBoundary([&] { *p = static_cast<IEnumVARIANT*>(CEnumerator::Make(m_elements, 0).Detach()); });
}

STDMETHODIMP CCollection::item(VARIANT name, VARIANT index, IDispatch** pdisp)
{
    if (!pdisp)
        return E_POINTER;
    *pdisp = nullptr;
    // A number as the name is a position; a text is an id or name, and the
    // index picks among the elements that carry it; no name at all leaves
    // the index to pick among all elements. Nothing there: null.
    VARIANT position;
    VariantInit(&position);
    std::vector<CElement*> candidates;
    if (V_VT(&name) == VT_BSTR) {
        std::wstring_view wanted = V_BSTR(&name) ? V_BSTR(&name) : L"";
        for (const CComPtr<CElement>& element : m_elements) {
            const std::wstring* id = element->Node().FindAttribute(L"id");
            const std::wstring* nameAttribute = element->Node().FindAttribute(L"name");
            if ((id && *id == wanted) || (nameAttribute && *nameAttribute == wanted))
                candidates.push_back(element.Get());
        }
        position = index;
    } else {
        for (const CComPtr<CElement>& element : m_elements)
            candidates.push_back(element.Get());
        position = (V_VT(&name) == VT_EMPTY || V_VT(&name) == VT_ERROR) ? index : name;
    }
    LONG at = 0;
    if (V_VT(&position) != VT_EMPTY && V_VT(&position) != VT_ERROR) {
        VARIANT number;
        VariantInit(&number);
        if (FAILED(VariantChangeType(&number, &position, 0, VT_I4)))
            return E_INVALIDARG;
        at = V_I4(&number);
    }
    if (at < 0 || static_cast<size_t>(at) >= candidates.size())
        return S_OK;
    *pdisp = static_cast<IHTMLElement*>(candidates[static_cast<size_t>(at)]);
    (*pdisp)->AddRef();
    return S_OK;
}

void* CEnumerator::Find(REFIID riid)
{
    return InlineIsEqualGUID(riid, IidOf<IEnumVARIANT>()) ? static_cast<IEnumVARIANT*>(this) : nullptr;
}

STDMETHODIMP CEnumerator::Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched)
{
    if (!rgVar || (celt > 1 && !pCeltFetched))
        return E_POINTER;
    ULONG fetched = 0;
    for (; fetched < celt && m_position < m_elements.size(); ++fetched, ++m_position) {
        VariantInit(&rgVar[fetched]);
        IDispatch* element = static_cast<IHTMLElement*>(m_elements[m_position].Get());
        element->AddRef();
        V_VT(&rgVar[fetched]) = VT_DISPATCH;
        V_DISPATCH(&rgVar[fetched]) = element;
    }
    if (pCeltFetched)
        *pCeltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumerator::Skip(ULONG celt)
{
    size_t left = m_elements.size() - m_position;
    m_position += std::min<size_t>(celt, left);
    return celt <= left ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumerator::Reset()
{
    m_position = 0;
    return S_OK;
}

STDMETHODIMP CEnumerator::Clone(IEnumVARIANT** ppEnum)
{
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    return CallAtBoundary([&] { *ppEnum = CEnumerator::Make(m_elements, m_position).Detach(); });
}

void* CMarkupPointer::Find(REFIID riid)
{
    if (InlineIsEqualGUID(riid, IidOf<IMarkupPointer>()))
        return static_cast<IMarkupPointer*>(this);
    if (InlineIsEqualGUID(riid, kMarkupPointerObjectId))
        return this;
    return nullptr;
}

STDMETHODIMP CMarkupPointer::IsPositioned(BOOL* pfPositioned)
{
    if (!pfPositioned)
        return E_POINTER;
    *pfPositioned = m_container != nullptr;
    return S_OK;
}

STDMETHODIMP CMarkupPointer::Unposition()
{
    m_container = nullptr;
    m_index = 0;
    return S_OK;
}

STDMETHODIMP CMarkupPointer::MoveAdjacentToElement(IHTMLElement* pElement, ELEMENT_ADJACENCY eAdj)
{
    CElement* element = m_document->OwnElement(pElement);
    if (!element)
        return E_INVALIDARG;
    CNode& node = element->Node();
    if (eAdj == ELEM_ADJ_AfterBegin || eAdj == ELEM_ADJ_BeforeEnd) {
        m_container = &node;
        m_index = eAdj == ELEM_ADJ_AfterBegin ? 0 : node.children.size();
        return S_OK;
    }
    if (eAdj != ELEM_ADJ_BeforeBegin && eAdj != ELEM_ADJ_AfterEnd)
        return E_INVALIDARG;
    if (!node.parent)
        return E_UNEXPECTED;
    auto& siblings = node.parent->children;
    size_t at = static_cast<size_t>(std::find(siblings.begin(), siblings.end(), &node) - siblings.begin());
    m_container = node.parent;
    m_index = eAdj == ELEM_ADJ_BeforeBegin ? at : at + 1;
    return S_OK;
}

}  // namespace StandIn

CComPtr<IHTMLDocument2> CreateStandInDocument(std::wstring_view html, std::wstring_view url,
                                              const CStandInOptions& options)
{
    CComPtr<StandIn::CDocument> document = StandIn::CDocument::Make(url, options);
    document->Load(html);
    return CComPtr<IHTMLDocument2>(static_cast<IHTMLDocument2*>(document.Get()));
}

IStandInDocument& StandInDocument(IUnknown* document)
{
    CComPtr<StandIn::CDocument> object;
    if (!document || FAILED(document->QueryInterface(StandIn::kDocumentObjectId, object.PutVoid())))
        throw std::invalid_argument("not a stand-in document");
    // The caller's reference keeps it alive.
    return *object;
}

IStandInElement& StandInElement(IUnknown* element)
{
    CComPtr<StandIn::CElement> object;
    if (!element || FAILED(element->QueryInterface(StandIn::kElementObjectId, object.PutVoid())))
        throw std::invalid_argument("not a stand-in element");
    // The node lives as long as the document, which the caller's element
    // or document keeps.
    return object->Node();
}
