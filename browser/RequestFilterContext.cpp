#include "browser/RequestFilterContext.h"

#include <cwctype>

#include "com/ComPtr.h"

namespace {

bool IsSpace(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

std::wstring_view Trim(std::wstring_view text)
{
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    }
    return true;
}

bool StartsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix)
{
    return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// The first media type of an Accept value ("text/css,*/*;q=0.1" -> "text/css").
std::wstring_view FirstMediaType(std::wstring_view accept)
{
    std::wstring_view first = accept.substr(0, accept.find_first_of(L",;"));
    return Trim(first);
}

// The strings of one bind string kind, joined with ", "; empty when the
// browser has none.
std::wstring GetBindStrings(IInternetBindInfo* bindInfo, ULONG kind)
{
    constexpr ULONG kMax = 32;
    LPOLESTR strings[kMax] = {};
    ULONG fetched = 0;
    std::wstring joined;
    if (FAILED(bindInfo->GetBindString(kind, strings, kMax, &fetched)))
        return joined;
    fetched = fetched > kMax ? kMax : fetched;
    for (ULONG i = 0; i < fetched; ++i) {
        if (strings[i]) {
            if (!joined.empty())
                joined += L", ";
            joined += strings[i];
        }
        CoTaskMemFree(strings[i]);
    }
    return joined;
}

// The headers the browser's client adds to the request, as the HTTP handler
// itself will ask for them.
std::wstring GetClientHeaders(const wchar_t* url, IInternetProtocolSink* sink)
{
    CComPtr<IServiceProvider> services;
    if (FAILED(sink->QueryInterface(IID_IServiceProvider, services.PutVoid())) || !services)
        return std::wstring();
    CComPtr<IHttpNegotiate> negotiate;
    if (FAILED(services->QueryService(IID_IHttpNegotiate, IID_IHttpNegotiate, negotiate.PutVoid())) || !negotiate)
        return std::wstring();
    LPWSTR added = nullptr;
    HRESULT hr = negotiate->BeginningTransaction(url, L"", 0, &added);
    std::wstring headers = SUCCEEDED(hr) && added ? std::wstring(added) : std::wstring();
    CoTaskMemFree(added);
    return headers;
}

}  // namespace

std::wstring FindHeaderValue(std::wstring_view headers, std::wstring_view name)
{
    while (!headers.empty()) {
        std::size_t end = headers.find(L'\n');
        std::wstring_view line = headers.substr(0, end);
        headers = end == std::wstring_view::npos ? std::wstring_view() : headers.substr(end + 1);
        if (!line.empty() && line.back() == L'\r')
            line.remove_suffix(1);
        std::size_t colon = line.find(L':');
        if (colon != std::wstring_view::npos && EqualsIgnoringCase(Trim(line.substr(0, colon)), name))
            return std::wstring(Trim(line.substr(colon + 1)));
    }
    return std::wstring();
}

RequestType RequestTypeFromBinding(std::wstring_view headers, std::wstring_view acceptMimes, bool bindsToObject,
                                   bool pageKnown)
{
    if (EqualsIgnoringCase(FindHeaderValue(headers, L"X-Requested-With"), L"XMLHttpRequest"))
        return kRequestXmlHttpRequest;
    if (!FindHeaderValue(headers, L"x-flash-version").empty())
        return kRequestObject;

    std::wstring accept = FindHeaderValue(headers, L"Accept");
    if (accept.empty())
        accept = acceptMimes;
    const std::wstring_view first = FirstMediaType(accept);
    const bool navigation =
        bindsToObject || StartsWithIgnoringCase(first, L"text/html") ||
        // The list of every type the browser can show, led by images, that
        // versions 7 and 8 send when they navigate.
        (accept.find(L',') != std::wstring::npos && accept.find(L"application/x-ms-application") != std::wstring::npos);
    if (navigation)
        return pageKnown ? kRequestSubdocument : kRequestDocument;
    if (EqualsIgnoringCase(first, L"text/css"))
        return kRequestStylesheet;
    if (StartsWithIgnoringCase(first, L"image/"))
        return kRequestImage;
    if (StartsWithIgnoringCase(first, L"application/javascript") ||
        StartsWithIgnoringCase(first, L"application/x-javascript") || StartsWithIgnoringCase(first, L"text/javascript"))
        return kRequestScript;
    return kRequestUnknown;
}

CRequestOrigin ReadRequestOrigin(const wchar_t* url, IInternetProtocolSink* sink, IInternetBindInfo* bindInfo)
{
    CRequestOrigin origin;
    std::wstring headers = sink && url ? GetClientHeaders(url, sink) : std::wstring();
    std::wstring acceptMimes;
    bool bindsToObject = false;
    if (bindInfo) {
        acceptMimes = GetBindStrings(bindInfo, BINDSTRING_ACCEPT_MIMES);
        bindsToObject = EqualsIgnoringCase(GetBindStrings(bindInfo, BINDSTRING_FLAG_BIND_TO_OBJECT), L"TRUE");
    }
    origin.pageUrl = FindHeaderValue(headers, L"Referer");
    origin.type = RequestTypeFromBinding(headers, acceptMimes, bindsToObject, !origin.pageUrl.empty());
    return origin;
}
