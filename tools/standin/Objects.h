#pragma once
// The COM objects of the stand-in document. Internal to tools/standin.
//
// Ownership: the document owns every node (attached or not) for its whole
// life. Each element object holds a reference to its document, and style,
// sheet and site objects hold one to their element, so a node outlives
// every object that can reach it. A node points back to its live element
// and style objects without a reference; each clears its entry when it
// goes, so an element keeps one identity while anyone holds it. Kept
// behaviors (and through their sites the elements) are released by Close.

#include <windows.h>
#include <mshtml.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "browser/ShockwaveFlash.h"
#include "com/ComPtr.h"
#include "tools/standin/Dom.h"
#include "tools/standin/StandInDocument.h"
#include "tools/standin/StandInStubs.h"

namespace StandIn {

// Answered only by the stand-in's own objects: the C++ object itself.
constexpr IID kDocumentObjectId = {0x6a1c4f0e, 0x0d7b, 0x4b52, {0x9a, 0x3e, 0x5f, 0x2a, 0x1b, 0x7c, 0x9d, 0x01}};
constexpr IID kElementObjectId = {0x6a1c4f0e, 0x0d7b, 0x4b52, {0x9a, 0x3e, 0x5f, 0x2a, 0x1b, 0x7c, 0x9d, 0x02}};
constexpr IID kMarkupPointerObjectId = {0x6a1c4f0e, 0x0d7b, 0x4b52, {0x9a, 0x3e, 0x5f, 0x2a, 0x1b, 0x7c, 0x9d, 0x03}};

// IUnknown for an object of the stand-in. TDerived::Find(riid) returns
// the interface pointer for riid (not counted) or null; IUnknown is the
// first listed interface.
template <class TDerived, class TFirst, class... TOthers>
class CObject : public TFirst, public TOthers...
{
public:
    CObject() = default;
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = InlineIsEqualGUID(riid, IID_IUnknown) ? static_cast<IUnknown*>(static_cast<TFirst*>(this))
                                                     : static_cast<TDerived*>(this)->Find(riid);
        if (!*ppv)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_refs; }
    STDMETHODIMP_(ULONG) Release() override
    {
        ULONG refs = --m_refs;
        if (refs == 0)
            delete static_cast<TDerived*>(this);
        return refs;
    }

    template <class... Args>
    static CComPtr<TDerived> Make(Args&&... args)
    {
        return CComPtr<TDerived>(new TDerived(std::forward<Args>(args)...));
    }

protected:
    virtual ~CObject() = default;

private:
    ULONG m_refs = 0;
};

class CElement;

class CDocument final : public CObject<CDocument, CStubIHTMLDocument2, CStubIHTMLDocument3, CStubIMarkupServices>,
                        public IStandInDocument
{
public:
    CDocument(std::wstring_view url, const CStandInOptions& options);
    ~CDocument() override;

    void* Find(REFIID riid);
    void Load(std::wstring_view html);

    // IHTMLDocument2
    STDMETHODIMP get_all(IHTMLElementCollection** p) override;
    STDMETHODIMP get_URL(BSTR* p) override;
    STDMETHODIMP get_frames(IHTMLFramesCollection2** p) override;
    // IHTMLDocument3
    STDMETHODIMP getElementsByTagName(BSTR v, IHTMLElementCollection** pelColl) override;
    // IMarkupServices
    STDMETHODIMP CreateMarkupPointer(IMarkupPointer** ppPointer) override;
    STDMETHODIMP CreateElement(ELEMENT_TAG_ID tagID, OLECHAR* pchAttributes, IHTMLElement** ppElement) override;
    STDMETHODIMP InsertElement(IHTMLElement* pElementInsert, IMarkupPointer* pPointerStart,
                               IMarkupPointer* pPointerFinish) override;

    // IStandInDocument
    CComPtr<IHTMLElement> ElementById(std::wstring_view id) override;
    std::vector<CComPtr<IHTMLElement>> Elements() override;
    std::wstring ToHtml() override;
    std::wstring BaseUrl() override;
    void AddFrame(IWebBrowser2* frame) override { m_frames.emplace_back(frame); }
    void FailBehaviorSiteElement(HRESULT hr) override { m_siteElementFailure = hr; }
    void Close() override;

    // For the other objects of the model.
    CComPtr<CElement> ElementFor(CNode* node);
    // The element behind an interface pointer, if it is one of this document's.
    CElement* OwnElement(IUnknown* object);
    CNode& Root() { return *m_root; }
    const std::wstring& Url() const { return m_url; }
    HRESULT SiteElementFailure() const { return m_siteElementFailure; }
    // The winning declaration of property (or of shorthand, a second name
    // that sets it) for node: inline style first, then the sheets of the
    // style elements in the document. Returns the declaring name and value.
    std::optional<std::pair<std::wstring, std::wstring>> Cascade(const CNode& node, std::wstring_view property,
                                                                 std::wstring_view shorthand = {}) const;
    // Attaches the behaviors that rules now give to elements that have not
    // tried them yet. Reentrant calls are folded into the running one.
    void ApplyBehaviors();

private:
    struct CKeptBehavior
    {
        CComPtr<IElementBehavior> behavior;
        CComPtr<IElementBehaviorSite> site;
    };
    struct CFactory
    {
        std::wstring name;  // lower case
        HRESULT result;
        CComPtr<IElementBehaviorFactory> factory;
    };

    CComPtr<IHTMLElementCollection> MakeCollection(const std::vector<CNode*>& nodes);
    void Attach(CNode& node, const std::wstring& url);
    const CFactory& FactoryFor(const std::wstring& name);

    std::wstring m_url;
    CStandInOptions m_options;
    CNodeArena m_arena;
    CNode* m_root;
    std::vector<CFactory> m_factories;
    std::vector<CKeptBehavior> m_kept;
    std::vector<CComPtr<IWebBrowser2>> m_frames;
    HRESULT m_siteElementFailure = S_OK;
    bool m_applying = false;
    bool m_applyAgain = false;
    bool m_closed = false;
};

class CElement final
    : public CObject<CElement, CStubIHTMLElement, CStubIHTMLElement2, CStubIHTMLImgElement, CStubIHTMLObjectElement,
                     CStubIHTMLFrameBase, CStubIHTMLScriptElement, CStubIHTMLStyleElement>
{
public:
    CElement(CDocument* document, CNode* node) : m_document(document), m_node(node) { node->element = this; }
    ~CElement() override { m_node->element = nullptr; }

    void* Find(REFIID riid);
    CDocument& Document() { return *m_document; }
    CNode& Node() { return *m_node; }

    // IHTMLElement
    STDMETHODIMP setAttribute(BSTR strAttributeName, VARIANT AttributeValue, LONG lFlags) override;
    STDMETHODIMP getAttribute(BSTR strAttributeName, LONG lFlags, VARIANT* AttributeValue) override;
    STDMETHODIMP removeAttribute(BSTR strAttributeName, LONG lFlags, VARIANT_BOOL* pfSuccess) override;
    STDMETHODIMP get_className(BSTR* p) override;
    STDMETHODIMP get_id(BSTR* p) override;
    STDMETHODIMP get_tagName(BSTR* p) override;
    STDMETHODIMP get_parentElement(IHTMLElement** p) override;
    STDMETHODIMP get_style(IHTMLStyle** p) override;
    STDMETHODIMP get_document(IDispatch** p) override;
    // IHTMLElement2
    STDMETHODIMP get_currentStyle(IHTMLCurrentStyle** p) override;
    // IHTMLImgElement, IHTMLFrameBase, IHTMLScriptElement
    STDMETHODIMP put_src(BSTR v) override;
    STDMETHODIMP get_src(BSTR* p) override;
    // IHTMLObjectElement
    STDMETHODIMP get_object(IDispatch** p) override;
    // IHTMLScriptElement, IHTMLStyleElement, IHTMLObjectElement
    STDMETHODIMP get_type(BSTR* p) override;
    // IHTMLStyleElement
    STDMETHODIMP get_styleSheet(IHTMLStyleSheet** p) override;

    std::optional<std::wstring> Attribute(std::wstring_view name) const { return m_node->Attribute(name); }

private:
    CComPtr<CDocument> m_document;
    CNode* m_node;
};

// An element's inline style.
class CStyle final : public CObject<CStyle, CStubIHTMLStyle>
{
public:
    explicit CStyle(CElement* element) : m_element(element) { m_element->Node().style = this; }
    ~CStyle() override { m_element->Node().style = nullptr; }

    void* Find(REFIID riid);

    STDMETHODIMP put_display(BSTR v) override;
    STDMETHODIMP get_display(BSTR* p) override;
    STDMETHODIMP put_backgroundImage(BSTR v) override;
    STDMETHODIMP get_backgroundImage(BSTR* p) override;
    STDMETHODIMP put_cssText(BSTR v) override;
    STDMETHODIMP get_cssText(BSTR* p) override;
    STDMETHODIMP setAttribute(BSTR strAttributeName, VARIANT AttributeValue, LONG lFlags) override;
    STDMETHODIMP getAttribute(BSTR strAttributeName, LONG lFlags, VARIANT* AttributeValue) override;

private:
    HRESULT Write(std::wstring_view property, std::wstring_view value);
    HRESULT Read(std::wstring_view property, BSTR* p);

    CComPtr<CElement> m_element;
};

// An element's computed style.
class CCurrentStyle final : public CObject<CCurrentStyle, CStubIHTMLCurrentStyle>
{
public:
    explicit CCurrentStyle(CElement* element) : m_element(element) {}

    void* Find(REFIID riid);

    STDMETHODIMP get_display(BSTR* p) override;
    STDMETHODIMP get_backgroundImage(BSTR* p) override;

private:
    CComPtr<CElement> m_element;
};

// The style sheet of a style element.
class CStyleSheet final : public CObject<CStyleSheet, CStubIHTMLStyleSheet>
{
public:
    explicit CStyleSheet(CElement* element) : m_element(element) {}

    void* Find(REFIID riid);

    STDMETHODIMP put_cssText(BSTR v) override;
    STDMETHODIMP get_cssText(BSTR* p) override;

private:
    CComPtr<CElement> m_element;
};

// A snapshot of elements, taken when the collection is made.
class CCollection final : public CObject<CCollection, CStubIHTMLElementCollection>
{
public:
    explicit CCollection(std::vector<CComPtr<CElement>> elements) : m_elements(std::move(elements)) {}

    void* Find(REFIID riid);

    STDMETHODIMP get_length(LONG* p) override;
    STDMETHODIMP get__newEnum(IUnknown** p) override;
    STDMETHODIMP item(VARIANT name, VARIANT index, IDispatch** pdisp) override;

private:
    std::vector<CComPtr<CElement>> m_elements;
};

class CEnumerator final : public CObject<CEnumerator, IEnumVARIANT>
{
public:
    CEnumerator(std::vector<CComPtr<CElement>> elements, size_t position)
        : m_elements(std::move(elements)), m_position(position)
    {
    }

    void* Find(REFIID riid);

    STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override;

private:
    std::vector<CComPtr<CElement>> m_elements;
    size_t m_position;
};

// A position between two children of a node.
class CMarkupPointer final : public CObject<CMarkupPointer, CStubIMarkupPointer>
{
public:
    explicit CMarkupPointer(CDocument* document) : m_document(document) {}

    void* Find(REFIID riid);
    bool IsPositionedHere() const { return m_container != nullptr; }
    CNode* Container() const { return m_container; }
    size_t Index() const { return m_index; }

    STDMETHODIMP IsPositioned(BOOL* pfPositioned) override;
    STDMETHODIMP Unposition() override;
    STDMETHODIMP MoveAdjacentToElement(IHTMLElement* pElement, ELEMENT_ADJACENCY eAdj) override;

private:
    CComPtr<CDocument> m_document;
    CNode* m_container = nullptr;
    size_t m_index = 0;
};

// The control of a Flash <object>.
class CFlashControl final : public CObject<CFlashControl, IShockwaveFlash>
{
public:
    explicit CFlashControl(std::optional<std::wstring> movie) : m_movie(std::move(movie)) {}

    void* Find(REFIID riid);

    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                        VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
    STDMETHODIMP get_ReadyState(long*) override { return E_NOTIMPL; }
    STDMETHODIMP get_TotalFrames(long*) override { return E_NOTIMPL; }
    STDMETHODIMP get_Playing(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Playing(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_Quality(int*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Quality(int) override { return E_NOTIMPL; }
    STDMETHODIMP get_ScaleMode(int*) override { return E_NOTIMPL; }
    STDMETHODIMP put_ScaleMode(int) override { return E_NOTIMPL; }
    STDMETHODIMP get_AlignMode(int*) override { return E_NOTIMPL; }
    STDMETHODIMP put_AlignMode(int) override { return E_NOTIMPL; }
    STDMETHODIMP get_BackgroundColor(long*) override { return E_NOTIMPL; }
    STDMETHODIMP put_BackgroundColor(long) override { return E_NOTIMPL; }
    STDMETHODIMP get_Loop(VARIANT_BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP put_Loop(VARIANT_BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP get_Movie(BSTR* movie) override;
    STDMETHODIMP put_Movie(BSTR) override { return E_NOTIMPL; }

private:
    std::optional<std::wstring> m_movie;
};

// The control of any other <object>: a dispatch interface that knows nothing.
class CControl final : public CObject<CControl, IDispatch>
{
public:
    void* Find(REFIID riid);

    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
    {
        return E_NOTIMPL;
    }
};

// The site through which one behavior reaches its element.
class CBehaviorSite final : public CObject<CBehaviorSite, CStubIElementBehaviorSite>
{
public:
    explicit CBehaviorSite(CElement* element) : m_element(element) {}

    void* Find(REFIID riid);

    STDMETHODIMP GetElement(IHTMLElement** ppElement) override;
    STDMETHODIMP RegisterNotification(LONG lEvent) override;

private:
    CComPtr<CElement> m_element;
};

// A new BSTR for text (null for an absent value); throws std::bad_alloc.
BSTR AllocateBstr(std::optional<std::wstring_view> text);

}  // namespace StandIn
