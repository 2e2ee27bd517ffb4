#pragma once
// What the request filter learns about a request besides its URL: the page
// (document or frame) it belongs to and its kind, as far as Internet
// Explorer 7 and 8 let a namespace handler know them. What this relies on:
//
// - The headers the browser's binding client adds to the request, which
//   urlmon hands to every protocol through the sink's service provider:
//   IServiceProvider::QueryService(IID_IHttpNegotiate) and
//   IHttpNegotiate::BeginningTransaction (documented as the way a protocol
//   gets the client's additional request headers; the HTTP handler itself
//   asks it). MSHTML adds "Referer" with the URL of the document that makes
//   the request; it leaves it out where the page is secure and the request
//   is not, so a page can be unknown.
// - "Accept" among those headers. Up to version 8 the browser sends "*/*" for
//   every resource of a page (images, scripts, style sheets and Flash movies
//   alike), and the long list of document types it can show ("image/gif,
//   image/jpeg, ... application/x-ms-application, ...") only when it
//   navigates a window or frame (Microsoft's IEInternals notes "IE and the
//   Accept header", 2009, and "IE9 Standards Mode accepts only text/css for
//   stylesheets", 2011, which also give the narrower values of later
//   versions: "text/css", "image/...", "application/javascript"; they are
//   read too).
// - BINDSTRING_FLAG_BIND_TO_OBJECT ("TRUE" when the client binds to an
//   object: a navigation that the browser shows as a document) and
//   BINDSTRING_ACCEPT_MIMES through IInternetBindInfo::GetBindString
//   (urlmon's BINDSTRING documentation).
// - Headers a page's own code adds: "X-Requested-With: XMLHttpRequest",
//   which the common script libraries put on their XMLHttpRequest calls, and
//   "x-flash-version", which the Flash player adds to the requests it makes.
//
// Nothing else the browser passes tells an image from a script: for most
// resources of a page the kind stays unknown (kRequestUnknown) and the
// verdict decides how such a request meets the lists' type options.

#include <windows.h>
#include <urlmon.h>

#include <string>
#include <string_view>

#include "engine/RequestContext.h"

// What the browser said about one request.
struct CRequestOrigin
{
    std::wstring pageUrl;  // empty when unknown
    RequestType type = kRequestUnknown;
};

// The value of the header `name` (letter case ignored) in CR LF separated
// header lines, without surrounding white space; empty when absent.
std::wstring FindHeaderValue(std::wstring_view headers, std::wstring_view name);

// The kind of a request from what the browser passed: its additional
// headers, the accepted MIME types of its bind information (may be empty),
// whether it binds to an object, and whether the page it belongs to is
// known. A navigation (bound to an object, or asking for document types) is
// a frame (kRequestSubdocument) when it comes from a page, else a document.
RequestType RequestTypeFromBinding(std::wstring_view headers, std::wstring_view acceptMimes, bool bindsToObject,
                                   bool pageKnown);

// Asks the browser's sink and bind information about the request for url.
// Each source that fails or is missing is left out; never throws for them
// (only std::bad_alloc).
CRequestOrigin ReadRequestOrigin(const wchar_t* url, IInternetProtocolSink* sink, IInternetBindInfo* bindInfo);
