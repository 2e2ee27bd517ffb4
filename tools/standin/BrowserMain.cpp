// StandInBrowser.exe: a program that plays a browser process, for tests and
// demonstrations (never shipped).
//
// It does what the browser does with an add-on, on the stand-in document
// and web browser objects: reads the registered browser helper objects
// (HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\Browser Helper
// Objects), creates each for every window and hands it the window's web
// browser with SetSite; loads the page and every resource it refers to
// through the system's urlmon (so the URL moniker session's namespace
// handlers see each request), fires DownloadBegin and NavigateComplete2,
// resolves "#default#NAME" behaviors through the registered Default
// Behaviors (in the stand-in document), and runs a message loop so that
// the helpers' timers fire. Then it reports, one line each, what it
// requested, what was refused, which elements of the page and its frames
// were hidden by the add-on's style writes, which lost their background
// image, and which elements of the page and its frames a style sheet hides;
// then it clicks each link of the page that targets "_blank" and reports
// whether its new window opened or a helper cancelled it.
//
//   StandInBrowser [--serve FOLDER] [--save FILE] URL
//       one window on URL; with --serve, FOLDER is served on 127.0.0.1 and
//       URL is a path on that server; with --save, FILE receives the page as
//       the user sees it after the add-on acted (hidden elements carry
//       "display: none", refused resources are empty), and the frame pages
//       below the page's folder are written to the same places below
//       FILE's folder
//   StandInBrowser --script
//       windows driven by commands on standard input, one per line, each
//       answered on standard output once done: "open [URL]" -> "opened N",
//       "openmany K [URL]" -> "opened N N+1 ..." (K windows loading at the
//       same time), "close N" -> "closed N", "quit" -> "bye" (closes every
//       window). Each window lives on a thread of its own, as a tab of the
//       browser does, and pumps its messages while it is shown.
//
// Exit code: 0 when the page was shown, 1 when it could not be loaded, 2 for
// a wrong command line.

#include <windows.h>
#include <exdisp.h>
#include <mshtml.h>
#include <shobjidl.h>
#include <urlmon.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "browser/CssUrl.h"
#include "browser/ShockwaveFlash.h"
#include "com/Bstr.h"
#include "com/ComPtr.h"
#include "com/Error.h"
#include "com/Handle.h"
#include "tests/support/HttpServer.h"
#include "tests/support/UrlLoad.h"
#include "tools/standin/StandInBrowser.h"
#include "tools/standin/StandInDocument.h"

namespace {

constexpr wchar_t kHelperObjectsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects";
constexpr DWORD kInjectionTimeoutMs = 5000;
constexpr DWORD kSettleMs = 100;
constexpr int kMaxFrameDepth = 3;

std::string Utf8(std::wstring_view text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::wstring Wide(std::string_view text)
{
    if (text.empty())
        return std::wstring();
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

void Print(const std::wstring& line)
{
    std::string text = Utf8(line) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::wstring HexResult(HRESULT hr)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

// One request through urlmon, as the browser makes it for a page or a
// resource; hr says how it ended, as the browser sees it. Wine's blocking
// stream fails a successful empty document with INET_E_DATA_NOT_AVAILABLE:
// the binding's own end says how that one went.
CUrlLoad Load(const std::wstring& url, const std::wstring& pageUrl, bool navigation)
{
    CUrlLoad load = LoadUrl(url, nullptr, BrowserRequestHeaders(url, pageUrl, navigation));
    bool emptyButComplete = load.openResult == INET_E_DATA_NOT_AVAILABLE && load.body.empty() && load.hr == S_OK;
    if (FAILED(load.openResult) && !emptyButComplete)
        load.hr = load.openResult;
    else if (load.hr == E_PENDING)
        load.hr = S_OK;
    return load;
}

std::wstring CombineUrl(const std::wstring& base, const std::wstring& relative)
{
    wchar_t combined[INTERNET_MAX_URL_LENGTH + 1];
    DWORD size = INTERNET_MAX_URL_LENGTH + 1;
    if (!InternetCombineUrlW(base.c_str(), relative.c_str(), combined, &size, 0))
        return std::wstring();
    return std::wstring(combined, size);
}

// The document the browser makes of a page: HTML as it came; anything
// else (text, XML, an image) shown in a generated page without a head
// element, where the add-on's style cannot go.
std::wstring DocumentHtml(const CUrlLoad& load)
{
    if (load.mimeType.empty() || load.mimeType == L"text/html")
        return Wide(load.body);
    std::wstring shown;
    if (load.mimeType.compare(0, 5, L"text/") == 0 || load.mimeType.find(L"xml") != std::wstring::npos) {
        for (wchar_t c : Wide(load.body))
            shown += c == L'<' ? L"&lt;" : c == L'&' ? L"&amp;" : std::wstring(1, c);
    }
    return L"<html><body><pre>" + shown + L"</pre></body></html>";
}

std::wstring LowerCase(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

// What one element of a page refers to.
struct CReference
{
    std::wstring kind;  // image, script, frame, flash, embed, stylesheet, background
    std::wstring url;   // absolute
    std::wstring attribute;  // the attribute that holds it ("" for a background)
    CComPtr<IHTMLElement> element;
};

std::wstring Describe(IHTMLElement* element)
{
    IStandInElement& node = StandInElement(element);
    std::wstring text = node.Tag();
    if (auto id = node.Attribute(L"id"))
        text += L"#" + *id;
    return text;
}

std::optional<std::wstring> FlashMovie(IHTMLElement* element)
{
    CComPtr<IHTMLObjectElement> object;
    if (FAILED(element->QueryInterface(IidOf<IHTMLObjectElement>(), object.PutVoid())) || !object)
        return std::nullopt;
    CComPtr<IDispatch> control;
    CComPtr<IShockwaveFlash> flash;
    if (FAILED(object->get_object(control.Put())) || !control ||
        FAILED(control->QueryInterface(IidOf<IShockwaveFlash>(), flash.PutVoid())) || !flash)
        return std::nullopt;
    CComBSTR movie;
    if (FAILED(flash->get_Movie(movie.Put())) || movie.Length() == 0)
        return std::nullopt;
    return std::wstring(movie.View());
}

std::optional<std::wstring> BackgroundUrl(IHTMLElement* element)
{
    CComPtr<IHTMLElement2> element2;
    CComPtr<IHTMLCurrentStyle> style;
    CComBSTR image;
    if (FAILED(element->QueryInterface(IidOf<IHTMLElement2>(), element2.PutVoid())) || !element2 ||
        FAILED(element2->get_currentStyle(style.Put())) || !style || FAILED(style->get_backgroundImage(image.Put())) ||
        image.Length() == 0)
        return std::nullopt;
    std::wstring text(image.View());
    if (!ParseCssUrl(&text[0]))
        return std::nullopt;
    return std::wstring(text.c_str());
}

// Everything a document refers to, in document order.
std::vector<CReference> References(IHTMLDocument2* document)
{
    std::vector<CReference> references;
    const std::wstring base = StandInDocument(document).BaseUrl();
    auto add = [&](const wchar_t* kind, const std::wstring& relative, const wchar_t* attribute, IHTMLElement* element) {
        std::wstring url = CombineUrl(base, relative);
        if (!url.empty())
            references.push_back({kind, url, attribute, CComPtr<IHTMLElement>(element)});
    };
    for (const CComPtr<IHTMLElement>& element : StandInDocument(document).Elements()) {
        IStandInElement& node = StandInElement(element);
        std::wstring tag = node.Tag();
        auto attribute = [&](const wchar_t* name) { return node.Attribute(name).value_or(L""); };
        if (tag == L"img" && !attribute(L"src").empty())
            add(L"image", attribute(L"src"), L"src", element);
        else if (tag == L"script" && !attribute(L"src").empty())
            add(L"script", attribute(L"src"), L"src", element);
        else if ((tag == L"iframe" || tag == L"frame") && !attribute(L"src").empty())
            add(L"frame", attribute(L"src"), L"src", element);
        else if (tag == L"embed" && !attribute(L"src").empty())
            add(L"embed", attribute(L"src"), L"src", element);
        else if (tag == L"link" && LowerCase(attribute(L"rel")) == L"stylesheet" && !attribute(L"href").empty())
            add(L"stylesheet", attribute(L"href"), L"href", element);
        else if (tag == L"object") {
            if (auto movie = FlashMovie(element))
                add(L"flash", *movie, L"data", element);
        }
        if (auto background = BackgroundUrl(element))
            add(L"background", *background, L"", element);
    }
    return references;
}

struct CRequest
{
    std::wstring kind;
    std::wstring url;
    CUrlLoad load;

    bool Refused() const
    {
        // The request filter's answer: an empty, successful text/plain
        // document that no server sent.
        return SUCCEEDED(load.hr) && load.body.empty() && load.mimeType == L"text/plain" && load.httpStatus == 0;
    }
};

bool WriteFileUtf8(const std::wstring& path, const std::wstring& text)
{
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    std::string bytes = Utf8(text);
    DWORD written = 0;
    return WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// One browser window or tab: its web browser object, its helper objects,
// and the page it shows.
class CWindow
{
public:
    CWindow(int number, const std::vector<CLSID>& helperClasses) : m_number(number), m_browser(CreateStandInBrowser())
    {
        for (const CLSID& clsid : helperClasses) {
            CComPtr<IObjectWithSite> helper;
            HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IObjectWithSite, helper.PutVoid());
            if (SUCCEEDED(hr))
                hr = helper->SetSite(m_browser);
            m_helperResults.push_back(hr);
            // A helper that cannot be created or sited is left out, as the
            // browser does.
            if (SUCCEEDED(hr))
                m_helpers.push_back(helper);
        }
    }

    ~CWindow() { Close(); }

    int Number() const { return m_number; }
    const std::vector<HRESULT>& HelperResults() const { return m_helperResults; }
    const std::vector<CRequest>& Requests() const { return m_requests; }
    IHTMLDocument2* Document() const { return m_document; }

    // Loads url as the window's top-level page. False when the page itself
    // could not be loaded.
    bool Navigate(const std::wstring& url)
    {
        IStandInBrowser& browser = StandInBrowser(m_browser);
        browser.SetReadyState(READYSTATE_LOADING);
        browser.FireDownloadBegin();
        CRequest& page = Request(L"page", url);
        if (FAILED(page.load.hr)) {
            browser.SetReadyState(READYSTATE_COMPLETE);
            return false;
        }
        m_document = CreateStandInDocument(DocumentHtml(page.load), url);
        browser.SetDocument(m_document);
        browser.SetReadyState(READYSTATE_INTERACTIVE);
        browser.FireNavigateComplete2(m_browser, url);
        LoadResources(m_document, url, 0);
        browser.SetReadyState(READYSTATE_COMPLETE);
        PumpUntil([&] { return Injected(); }, kInjectionTimeoutMs);
        PumpFor(kSettleMs);
        return true;
    }

    // Clicks every link of the page that targets a new window ("_blank"),
    // in document order, as a user would: the browser announces each window
    // with NewWindow3 (NWMF_USERINITED | NWMF_FIRST, the page as the
    // opener) and opens it unless a helper cancelled the event. Returns
    // each link's URL and whether its window opened.
    std::vector<std::pair<std::wstring, bool>> ClickNewWindowLinks()
    {
        std::vector<std::pair<std::wstring, bool>> windows;
        if (!m_document)
            return windows;
        const std::wstring base = StandInDocument(m_document).BaseUrl();
        for (const CComPtr<IHTMLElement>& element : StandInDocument(m_document).Elements()) {
            IStandInElement& node = StandInElement(element);
            std::wstring href = node.Attribute(L"href").value_or(L"");
            if (node.Tag() != L"a" || LowerCase(node.Attribute(L"target").value_or(L"")) != L"_blank" || href.empty())
                continue;
            std::wstring url = CombineUrl(base, href);
            bool opened = StandInBrowser(m_browser).OpenNewWindow(url, m_documentUrl, NWMF_USERINITED | NWMF_FIRST);
            windows.emplace_back(url, opened);
        }
        return windows;
    }

    // The frames' documents, nested ones included, with their URLs.
    std::vector<std::pair<std::wstring, CComPtr<IHTMLDocument2>>> FrameDocuments() const
    {
        std::vector<std::pair<std::wstring, CComPtr<IHTMLDocument2>>> documents;
        for (const CFrame& frame : m_frames)
            documents.emplace_back(frame.url, frame.document);
        return documents;
    }

    // The behavior style reached the top-level page: its elements have
    // tried the "#default#quellan" behavior.
    bool Injected() const
    {
        if (!m_document)
            return false;
        for (const CComPtr<IHTMLElement>& element : StandInDocument(m_document).Elements()) {
            for (const CStandInBehaviorRecord& record : StandInElement(element).Behaviors()) {
                if (LowerCase(record.url) == L"#default#quellan")
                    return true;
            }
        }
        return false;
    }

    // Writes the page as the user now sees it (what the add-on changed, and
    // the refused resources empty) to path, and each frame page that lies
    // below the page's folder to the same place below path's folder. False
    // when a file cannot be written.
    bool Save(const std::wstring& path)
    {
        if (!m_document)
            return false;
        if (!WriteFileUtf8(path, SavedHtml(m_document)))
            return false;
        std::wstring pageFolder = m_documentUrl.substr(0, m_documentUrl.rfind(L'/') + 1);
        std::wstring fileFolder = path.substr(0, path.find_last_of(L"\\/") + 1);
        for (const CFrame& frame : m_frames) {
            if (frame.url.compare(0, pageFolder.size(), pageFolder) != 0)
                continue;
            std::wstring relative = frame.url.substr(pageFolder.size());
            relative = relative.substr(0, relative.find_first_of(L"?#"));
            if (relative.empty() || relative.find(L"..") != std::wstring::npos)
                continue;
            for (wchar_t& c : relative)
                c = c == L'/' ? L'\\' : c;
            if (!WriteFileUtf8(fileFolder + relative, SavedHtml(frame.document)))
                return false;
        }
        return true;
    }

    void Close()
    {
        // As the browser closes a window: SetSite(NULL), then the release.
        for (CComPtr<IObjectWithSite>& helper : m_helpers)
            helper->SetSite(nullptr);
        m_helpers.clear();
        for (auto& frame : m_frames) {
            StandInBrowser(frame.browser).Close();
            StandInDocument(frame.document).Close();
        }
        m_frames.clear();
        if (m_document)
            StandInDocument(m_document).Close();
        StandInBrowser(m_browser).Close();
        m_document.Reset();
    }

private:
    struct CFrame
    {
        CComPtr<IWebBrowser2> browser;
        CComPtr<IHTMLDocument2> document;
        std::wstring url;
    };

    std::wstring SavedHtml(IHTMLDocument2* document)
    {
        std::set<std::wstring> refused;
        for (const CRequest& request : m_requests) {
            if (request.Refused())
                refused.insert(request.url);
        }
        for (const CReference& reference : References(document)) {
            if (!refused.count(reference.url))
                continue;
            if (reference.attribute.empty()) {
                CComPtr<IHTMLStyle> style;
                if (SUCCEEDED(reference.element->get_style(style.Put())) && style)
                    style->put_backgroundImage(CComBSTR(L"none"));
            } else {
                VARIANT empty;
                VariantInit(&empty);
                V_VT(&empty) = VT_BSTR;
                V_BSTR(&empty) = CComBSTR(L"").Detach();
                reference.element->setAttribute(CComBSTR(reference.attribute), empty, 0);
                VariantClear(&empty);
            }
        }
        return StandInDocument(document).ToHtml();
    }

    // pageUrl: the document that makes the request (empty for the window's
    // own page); the browser passes it, and the kind of navigation, only in
    // the headers it adds (tests/support/UrlLoad.h).
    CRequest& Request(const wchar_t* kind, const std::wstring& url, const std::wstring& pageUrl = {})
    {
        const bool navigation = pageUrl.empty() || std::wstring(kind) == L"frame";
        m_requests.push_back({kind, url, Load(url, pageUrl, navigation)});
        // Timers are due while the page loads.
        PumpMessages();
        return m_requests.back();
    }

    void LoadResources(IHTMLDocument2* document, const std::wstring& documentUrl, int depth)
    {
        if (depth == 0)
            m_documentUrl = documentUrl;
        for (const CReference& reference : References(document)) {
            if (m_requested.count(reference.url))
                continue;
            m_requested.insert(reference.url);
            CRequest& request = Request(reference.kind.c_str(), reference.url, documentUrl);
            if (reference.kind != L"frame" || request.Refused() || FAILED(request.load.hr) || depth >= kMaxFrameDepth)
                continue;
            // A frame is a browser object of its own: its navigation reaches
            // the window's sinks with the frame as pDisp.
            CFrame frame{CreateStandInBrowser(), CreateStandInDocument(Wide(request.load.body), reference.url),
                         reference.url};
            StandInBrowser(frame.browser).SetDocument(frame.document);
            StandInDocument(document).AddFrame(frame.browser);
            std::wstring frameUrl = reference.url;
            m_frames.push_back(frame);
            StandInBrowser(m_browser).FireNavigateComplete2(frame.browser, frameUrl);
            LoadResources(frame.document, frameUrl, depth + 1);
        }
    }

    int m_number;
    CComPtr<IWebBrowser2> m_browser;
    std::vector<CComPtr<IObjectWithSite>> m_helpers;
    std::vector<HRESULT> m_helperResults;
    CComPtr<IHTMLDocument2> m_document;
    std::wstring m_documentUrl;
    std::vector<CFrame> m_frames;
    std::vector<CRequest> m_requests;
    std::set<std::wstring> m_requested;
};

std::vector<CLSID> ReadHelperClasses(std::vector<std::wstring>& names)
{
    std::vector<CLSID> classes;
    CRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kHelperObjectsKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
        return classes;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD length = 256;
        if (RegEnumKeyExW(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        CLSID clsid;
        if (SUCCEEDED(CLSIDFromString(name, &clsid))) {
            classes.push_back(clsid);
            names.push_back(name);
        }
    }
    return classes;
}

// What a style sheet hides (element hiding rules) and no inline style
// does, as the element's currentStyle tells; elements never rendered
// (head, script, ...) are not news.
bool HiddenByStyleSheet(IHTMLElement* element)
{
    IStandInElement& node = StandInElement(element);
    for (const wchar_t* unrendered : {L"head", L"script", L"style", L"title", L"meta", L"link", L"param"}) {
        if (node.Tag() == unrendered)
            return false;
    }
    CComPtr<IHTMLElement2> element2;
    CComPtr<IHTMLCurrentStyle> current;
    CComBSTR display;
    return node.InlineStyle(L"display") != L"none" &&
           SUCCEEDED(element->QueryInterface(IidOf<IHTMLElement2>(), element2.PutVoid())) && element2 &&
           SUCCEEDED(element2->get_currentStyle(current.Put())) && current &&
           SUCCEEDED(current->get_display(display.Put())) && BstrText(display) == L"none";
}

void Report(const CWindow& window, const std::vector<std::wstring>& helperNames)
{
    for (size_t i = 0; i < helperNames.size(); ++i) {
        HRESULT hr = window.HelperResults()[i];
        Print(L"helper     " + helperNames[i] + (SUCCEEDED(hr) ? L"  created and sited" : L"  failed " + HexResult(hr)));
    }
    if (helperNames.empty())
        Print(L"helper     none registered");
    for (const CRequest& request : window.Requests()) {
        std::wstring kind = request.kind;
        kind.resize(std::max<size_t>(kind.size(), 10), L' ');
        std::wstring outcome;
        if (FAILED(request.load.hr))
            outcome = L"failed   " + kind + L" " + request.url + L"  (" + HexResult(request.load.hr) + L")";
        else if (request.Refused())
            outcome = L"REFUSED  " + kind + L" " + request.url + L"  (empty text/plain answer, never sent)";
        else
            outcome = L"loaded   " + kind + L" " + request.url + L"  (" + std::to_wstring(request.load.body.size()) +
                      L" bytes, " + request.load.mimeType + L", HTTP " + std::to_wstring(request.load.httpStatus) +
                      L")";
        Print(L"request    " + outcome);
    }
    Print(std::wstring(L"injected   ") + (window.Injected() ? L"yes" : L"no") +
          L"  (behavior style in the top-level page)");
    if (!window.Document())
        return;
    for (const CComPtr<IHTMLElement>& element : StandInDocument(window.Document()).Elements()) {
        IStandInElement& node = StandInElement(element);
        std::wstring source = node.Attribute(L"src").value_or(node.Attribute(L"data").value_or(L""));
        for (const std::wstring& write : node.StyleWrites()) {
            if (write == L"display: none")
                Print(L"hidden     " + Describe(element) + (source.empty() ? L"" : L"  " + source));
            else if (write == L"background-image: none")
                Print(L"background " + Describe(element) + L"  removed");
        }
        if (HiddenByStyleSheet(element))
            Print(L"hidden     " + Describe(element) + L"  (style sheet)");
    }
    for (const auto& [url, document] : window.FrameDocuments()) {
        for (const CComPtr<IHTMLElement>& element : StandInDocument(document).Elements()) {
            for (const std::wstring& write : StandInElement(element).StyleWrites()) {
                if (write == L"display: none")
                    Print(L"hidden     " + Describe(element) + L"  (frame " + url + L")");
            }
            if (HiddenByStyleSheet(element))
                Print(L"hidden     " + Describe(element) + L"  (style sheet, frame " + url + L")");
        }
    }
}

int Usage()
{
    std::fputs("usage: StandInBrowser [--serve FOLDER] [--save FILE] URL\n"
               "       StandInBrowser --script\n",
               stderr);
    return 2;
}

// One window on a thread of its own, as the browser runs each tab (IE 7 and
// 8 give every tab its own thread in the frame or tab process): the window
// is created, navigates, pumps its messages (so its helpers' timers fire
// while it is shown) and is closed on that thread, in a single-threaded
// apartment of its own.
class CWindowThread
{
public:
    CWindowThread(int number, const std::vector<CLSID>& helperClasses, std::wstring url)
        : m_number(number), m_helperClasses(helperClasses), m_url(std::move(url)),
          m_shown(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        if (!m_shown)
            ThrowLastError();
        m_thread.Reset(CreateThread(nullptr, 0, &CWindowThread::Main, this, 0, &m_threadId));
        if (!m_thread)
            ThrowLastError();
    }
    CWindowThread(const CWindowThread&) = delete;
    CWindowThread& operator=(const CWindowThread&) = delete;
    ~CWindowThread() { Close(); }

    // Once the window has shown its page (or its thread ended).
    void WaitShown() const
    {
        const HANDLE handles[] = {m_shown.Get(), m_thread.Get()};
        WaitForMultipleObjects(2, handles, FALSE, INFINITE);
    }

    // Closes the window on its thread and waits for the thread's end.
    void Close()
    {
        if (!m_thread)
            return;
        WaitShown();
        PostThreadMessageW(m_threadId, WM_QUIT, 0, 0);
        WaitForSingleObject(m_thread.Get(), INFINITE);
        m_thread.Reset();
    }

private:
    static DWORD WINAPI Main(void* parameter)
    {
        auto* self = static_cast<CWindowThread*>(parameter);
        MSG message;
        // The thread's message queue, before anyone posts to it.
        PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
            SetEvent(self->m_shown.Get());
            return 1;
        }
        try {
            CWindow window(self->m_number, self->m_helperClasses);
            if (!self->m_url.empty())
                window.Navigate(self->m_url);
            else
                PumpFor(kSettleMs);
            SetEvent(self->m_shown.Get());
            while (GetMessageW(&message, nullptr, 0, 0) > 0) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
            window.Close();
            PumpFor(kSettleMs);
        } catch (...) {
            std::fprintf(stderr, "StandInBrowser: window %d failed\n", self->m_number);
        }
        SetEvent(self->m_shown.Get());
        CoUninitialize();
        return 0;
    }

    int m_number;
    std::vector<CLSID> m_helperClasses;
    std::wstring m_url;
    CHandle m_shown;
    CHandle m_thread;
    DWORD m_threadId = 0;
};

int RunScript(const std::vector<CLSID>& helperClasses)
{
    std::map<int, std::unique_ptr<CWindowThread>> windows;
    int next = 1;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string command = line.substr(0, line.find(' '));
        std::string argument = line.size() > command.size() ? line.substr(command.size() + 1) : std::string();
        if (command == "open" || command == "openmany") {
            // "openmany K URL": K windows that load URL at the same time.
            int count = 1;
            if (command == "openmany") {
                count = std::max(1, std::atoi(argument.c_str()));
                argument = argument.find(' ') == std::string::npos ? std::string() : argument.substr(argument.find(' ') + 1);
            }
            std::wstring answer = L"opened";
            std::vector<CWindowThread*> opened;
            for (int i = 0; i < count; ++i, ++next) {
                auto window = std::make_unique<CWindowThread>(next, helperClasses, Wide(argument));
                opened.push_back(window.get());
                windows[next] = std::move(window);
                answer += L" " + std::to_wstring(next);
            }
            for (CWindowThread* window : opened)
                window->WaitShown();
            Print(answer);
        } else if (command == "close") {
            int number = std::atoi(argument.c_str());
            windows.erase(number);
            Print(L"closed " + std::to_wstring(number));
        } else if (command == "quit") {
            break;
        } else {
            Print(L"unknown " + Wide(command));
        }
    }
    windows.clear();
    Print(L"bye");
    return 0;
}

int Run(int argc, wchar_t** argv)
{
    std::wstring serveFolder, savePath, url;
    bool script = false;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg == L"--serve" && i + 1 < argc)
            serveFolder = argv[++i];
        else if (arg == L"--save" && i + 1 < argc)
            savePath = argv[++i];
        else if (arg == L"--script")
            script = true;
        else if (!arg.empty() && arg[0] != L'-' && url.empty())
            url = arg;
        else
            return Usage();
    }
    if (script == !url.empty())
        return Usage();

    std::vector<std::wstring> helperNames;
    std::vector<CLSID> helperClasses = ReadHelperClasses(helperNames);
    if (script)
        return RunScript(helperClasses);

    std::unique_ptr<CHttpServer> server;
    if (!serveFolder.empty()) {
        server = std::make_unique<CHttpServer>();
        server->ServeFolder(serveFolder);
        url = server->Url(url[0] == L'/' ? url : L"/" + url);
        Print(L"server     serving " + serveFolder + L" at " + server->Url(L"/"));
    }
    Print(L"page       " + url);
    bool shown;
    {
        CWindow window(1, helperClasses);
        shown = window.Navigate(url);
        Report(window, helperNames);
        for (const auto& [target, opened] : window.ClickNewWindowLinks())
            Print(std::wstring(L"new window ") + (opened ? L"opened   " : L"CANCELLED") + L" " + target);
        if (shown && !savePath.empty()) {
            if (window.Save(savePath))
                Print(L"saved      " + savePath);
            else
                Print(L"saved      nothing: cannot write " + savePath);
        }
    }
    if (server) {
        for (const std::string& request : server->RequestLines())
            Print(L"server     received " + Wide(request));
    }
    return shown ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return 1;
    int code = 1;
    try {
        code = Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "StandInBrowser: %s\n", e.what());
    } catch (const CHResultException& e) {
        std::fprintf(stderr, "StandInBrowser: failure 0x%08lX\n", static_cast<unsigned long>(e.GetHResult()));
    }
    CoUninitialize();
    return code;
}
