#pragma once
// One URL loaded through urlmon's URL moniker, as a browser component would
// (the moniker bound to a stream with the client's callback, without the
// cache): the session's namespace handlers see it. For tests and the stand-in browser; builds with either
// thread model.

#include <windows.h>

#include <string>

struct CUrlLoad
{
    // How the binding ended, as its callback heard it (E_PENDING: it never
    // ended).
    HRESULT hr = E_PENDING;
    // The binding's own result (BindToStorage), or the first failing stream
    // read.
    // Wine gives INET_E_DATA_NOT_AVAILABLE for a successful empty document.
    HRESULT openResult = E_PENDING;
    std::string body;
    std::wstring mimeType;         // as the binding reported it to its callback
    bool httpInfoReached = false;  // the binding answered IWinInetHttpInfo
    // The HTTP status line's code, or 0 when there was no HTTP response (the
    // request never reached the network).
    DWORD httpStatus = 0;
    std::string header;  // the asked header through IWinInetHttpInfo, if any
};

// Loads url. headerName: a response header to read through the binding's
// IWinInetHttpInfo. requestHeaders: header lines (each ending in CR LF) the
// client adds to the request through IHttpNegotiate::BeginningTransaction,
// as the browser's document adds "Referer" and "Accept".
CUrlLoad LoadUrl(const std::wstring& url, const char* headerName = nullptr, const std::wstring& requestHeaders = {});

// The headers Internet Explorer 7/8 adds to a request for url made by the
// document at pageUrl (empty: none, a typed address): "Accept: */*" and the page as "Referer" for every resource of a
// page (images, scripts, style sheets, Flash movies alike); for a navigation
// of a window or frame (navigation true) the list of document types it can
// show instead of "*/*", with the Referer only for a frame. Secure pages give
// no Referer to plain requests.
std::wstring BrowserRequestHeaders(const std::wstring& url, const std::wstring& pageUrl, bool navigation);
