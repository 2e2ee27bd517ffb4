#pragma once
// What a request is for and where it comes from: the context the Adblock
// lists' options ("$script", "$third-party", "$domain=...") judge a request
// in. The user's own filters look at the URL alone.

#include <cstdint>
#include <string_view>

// The kinds of request the lists' type options name, one bit each, so that a
// filter's set of types is a mask. kRequestUnknown: the caller could not tell
// the kind (the verdict decides how such a request meets a type option).
enum RequestType : std::uint16_t
{
    kRequestUnknown = 0,
    kRequestScript = 1u << 0,
    kRequestImage = 1u << 1,
    kRequestStylesheet = 1u << 2,
    kRequestObject = 1u << 3,
    kRequestSubdocument = 1u << 4,
    kRequestXmlHttpRequest = 1u << 5,
    kRequestMedia = 1u << 6,
    kRequestFont = 1u << 7,
    kRequestPing = 1u << 8,
    kRequestOther = 1u << 9,
    kRequestDocument = 1u << 10,
    kRequestPopup = 1u << 11,
};

// Every type a filter without type options applies to. A document (a page
// loaded in a window or tab) and a popup are not among them: the lists block
// those only with an explicit option.
constexpr std::uint16_t kRequestAnyResource = kRequestScript | kRequestImage | kRequestStylesheet |
                                              kRequestObject | kRequestSubdocument | kRequestXmlHttpRequest |
                                              kRequestMedia | kRequestFont | kRequestPing | kRequestOther;

// The option names of the types, as the lists write them, and their aliases.
struct RequestTypeName
{
    std::wstring_view name;
    RequestType type;
};
constexpr RequestTypeName kRequestTypeNames[] = {
    {L"script", kRequestScript},
    {L"image", kRequestImage},
    {L"stylesheet", kRequestStylesheet},
    {L"css", kRequestStylesheet},
    {L"object", kRequestObject},
    {L"object-subrequest", kRequestObject},
    {L"subdocument", kRequestSubdocument},
    {L"frame", kRequestSubdocument},
    {L"xmlhttprequest", kRequestXmlHttpRequest},
    {L"xhr", kRequestXmlHttpRequest},
    {L"media", kRequestMedia},
    {L"font", kRequestFont},
    {L"ping", kRequestPing},
    {L"beacon", kRequestPing},
    {L"other", kRequestOther},
    {L"document", kRequestDocument},
    {L"doc", kRequestDocument},
    {L"popup", kRequestPopup},
};

// The type an option name (or alias) stands for; kRequestUnknown for any
// other text. Letter case matters, as in the lists.
constexpr RequestType RequestTypeFromName(std::wstring_view name) noexcept
{
    for (const RequestTypeName& entry : kRequestTypeNames)
    {
        if (entry.name == name)
            return entry.type;
    }
    return kRequestUnknown;
}

// One request as the verdict sees it. url: the absolute URL requested.
// pageUrl: the URL of the document (the page or frame) the request belongs
// to; null or empty when unknown, in which case options that need the page
// ("$third-party", "$domain") cannot be decided for it. Pointers are
// borrowed for the call.
struct RequestContext
{
    const wchar_t* url = nullptr;
    const wchar_t* pageUrl = nullptr;
    RequestType type = kRequestUnknown;
};
