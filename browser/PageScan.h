#pragma once
// CPageScan: walks every element of a document, in document order, and
// hands out its blockable items one at a time: first the element's image,
// Flash, frame or script item, then its background item. Keeps no list and
// drops no repeats. Not restartable; used on the thread that owns the
// document.

#include <windows.h>
#include <mshtml.h>

#include "browser/BlockableItem.h"
#include "com/ComPtr.h"

class CPageScan
{
public:
    // Over the document's "all" collection. Throws E_NOINTERFACE for a null
    // document, one without IHTMLDocument2 or a collection without an
    // enumerator, and the HRESULT of a failing call.
    explicit CPageScan(IDispatch* document);
    CPageScan(const CPageScan&) = delete;
    CPageScan& operator=(const CPageScan&) = delete;

    // The next item, owned by the caller; null once the enumeration reaches
    // its end or an entry that is not an element. Throws the HRESULT of a
    // failing enumerator, and E_OUTOFMEMORY when an item cannot be made.
    CBlockableItemPtr NextItem();

private:
    // Which tests the current element has had: 0 none, 1 the element
    // test, 2 all.
    int m_stage = 0;
    CComPtr<IHTMLElement> m_element;
    CComPtr<IEnumVARIANT> m_enumerator;
};
