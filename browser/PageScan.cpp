#include "browser/PageScan.h"

#include "com/Error.h"
#include "com/InterfaceId.h"
#include "com/Variant.h"

namespace {

template <class Q>
CComPtr<Q> QueryOrThrow(IUnknown* object)
{
    CComPtr<Q> answer;
    if (!object || FAILED(object->QueryInterface(IidOf<Q>(), answer.PutVoid())) || !answer)
        ThrowHResult(E_NOINTERFACE);
    return answer;
}

}  // namespace

CPageScan::CPageScan(IDispatch* document)
{
    CComPtr<IHTMLDocument2> html = QueryOrThrow<IHTMLDocument2>(document);
    CComPtr<IHTMLElementCollection> all;
    ThrowIfFailed(html->get_all(all.Put()));
    if (!all)
        ThrowHResult(E_NOINTERFACE);
    CComPtr<IUnknown> enumerator;
    ThrowIfFailed(all->get__newEnum(enumerator.Put()));
    m_enumerator = QueryOrThrow<IEnumVARIANT>(enumerator);
}

CBlockableItemPtr CPageScan::NextItem()
{
    for (;;) {
        if (!m_element) {
            CComVariant entry;
            ULONG fetched = 0;
            ThrowIfFailed(m_enumerator->Next(1, entry.Put(), &fetched));
            IDispatch* object = entry.Type() == VT_DISPATCH ? V_DISPATCH(&entry.Get()) : nullptr;
            CComPtr<IHTMLElement> element;
            if (!object || FAILED(object->QueryInterface(IidOf<IHTMLElement>(), element.PutVoid())) || !element)
                return nullptr;
            m_element = element;
        }
        if (m_stage == 0) {
            m_stage = 1;
            CBlockableItemPtr item = MakeElementItem(m_element);
            if (!item)
                item = MakeScriptItem(m_element);
            if (item)
                return item;
        }
        if (m_stage == 1) {
            m_stage = 2;
            if (CBlockableItemPtr item = MakeBackgroundItem(m_element))
                return item;
        }
        m_stage = 0;
        m_element.Reset();
    }
}
