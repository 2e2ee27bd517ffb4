#include "tests/support/UrlLoad.h"

#include <urlmon.h>
#include <wininet.h>

#include <cstring>

#include "com/ComPtr.h"
#include "com/Object.h"

namespace {

class CLoadCallback final : public CComObjectBase<CLoadCallback, IBindStatusCallback, IHttpNegotiate>
{
public:
    CLoadCallback(CUrlLoad& load, const char* headerName, const std::wstring& requestHeaders)
        : m_load(load), m_headerName(headerName), m_requestHeaders(requestHeaders)
    {
    }

    // IHttpNegotiate: urlmon asks the client for its headers through the
    // binding, as MSHTML's callback answers.
    STDMETHODIMP BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* added) override
    {
        if (!added)
            return E_POINTER;
        *added = nullptr;
        if (m_requestHeaders.empty())
            return S_OK;
        std::size_t bytes = (m_requestHeaders.size() + 1) * sizeof(wchar_t);
        *added = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (!*added)
            return E_OUTOFMEMORY;
        std::memcpy(*added, m_requestHeaders.c_str(), bytes);
        return S_OK;
    }
    STDMETHODIMP OnResponse(DWORD, LPCWSTR, LPCWSTR, LPWSTR* added) override
    {
        if (added)
            *added = nullptr;
        return S_OK;
    }

    STDMETHODIMP OnStartBinding(DWORD, IBinding* binding) override
    {
        m_binding = binding;
        return S_OK;
    }
    STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
    STDMETHODIMP OnLowResource(DWORD) override { return S_OK; }
    STDMETHODIMP OnProgress(ULONG, ULONG, ULONG statusCode, LPCWSTR statusText) override
    {
        if (statusCode == BINDSTATUS_MIMETYPEAVAILABLE && statusText)
            m_load.mimeType = statusText;
        AskBinding();
        return S_OK;
    }
    STDMETHODIMP OnStopBinding(HRESULT result, LPCWSTR) override
    {
        m_load.hr = result;
        AskBinding();
        m_binding.Reset();
        return S_OK;
    }
    STDMETHODIMP GetBindInfo(DWORD* bindFlags, BINDINFO* bindInfo) override
    {
        if (!bindFlags || !bindInfo)
            return E_INVALIDARG;
        *bindFlags |= BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE | BINDF_PRAGMA_NO_CACHE;
        return S_OK;
    }
    STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return S_OK; }
    STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

private:
    // What the browser would ask of the binding: the HTTP handler's
    // information, reached through whatever protocol object runs the request.
    void AskBinding()
    {
        if (!m_binding)
            return;
        CComPtr<IWinInetHttpInfo> info;
        if (FAILED(m_binding.QueryInterface(info.Put())) || !info)
            return;
        m_load.httpInfoReached = true;
        if (m_load.httpStatus == 0) {
            DWORD status = 0;
            DWORD size = sizeof status;
            if (info->QueryInfo(HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr, nullptr) ==
                S_OK)
                m_load.httpStatus = status;
        }
        if (!m_headerName || !m_load.header.empty())
            return;
        char buffer[256] = {};
        std::strncpy(buffer, m_headerName, sizeof buffer - 1);
        DWORD size = sizeof buffer;
        if (SUCCEEDED(info->QueryInfo(HTTP_QUERY_CUSTOM, buffer, &size, nullptr, nullptr)) && size < sizeof buffer)
            m_load.header.assign(buffer, size);
    }

    CUrlLoad& m_load;
    const char* m_headerName;
    std::wstring m_requestHeaders;
    CComPtr<IBinding> m_binding;
};

}  // namespace

std::wstring BrowserRequestHeaders(const std::wstring& url, const std::wstring& pageUrl, bool navigation)
{
    std::wstring headers = navigation ? L"Accept: image/gif, image/jpeg, image/pjpeg, image/pjpeg, "
                                        L"application/x-shockwave-flash, application/x-ms-application, "
                                        L"application/x-ms-xbap, application/vnd.ms-xpsdocument, "
                                        L"application/xaml+xml, */*\r\n"
                                      : L"Accept: */*\r\n";
    bool secureToPlain = pageUrl.compare(0, 8, L"https://") == 0 && url.compare(0, 8, L"https://") != 0;
    if (!pageUrl.empty() && !secureToPlain)
        headers += L"Referer: " + pageUrl + L"\r\n";
    return headers;
}

CUrlLoad LoadUrl(const std::wstring& url, const char* headerName, const std::wstring& requestHeaders)
{
    CUrlLoad load;
    CComPtr<CLoadCallback> callback = CLoadCallback::Create(load, headerName, requestHeaders);
    // Bound as MSHTML binds: a URL moniker, and the client's own callback in
    // the bind context, which urlmon asks for IHttpNegotiate (and so for the
    // request headers every protocol then reads). URLOpenBlockingStreamW
    // would put a wrapper of its own there, which under Wine answers for
    // IBindStatusCallback alone.
    CComPtr<IMoniker> moniker;
    CComPtr<IBindCtx> context;
    CComPtr<IStream> stream;
    HRESULT hr = CreateURLMonikerEx(nullptr, url.c_str(), moniker.Put(), URL_MK_UNIFORM);
    if (SUCCEEDED(hr))
        hr = CreateBindCtx(0, context.Put());
    if (SUCCEEDED(hr))
        hr = RegisterBindStatusCallback(context, callback, nullptr, 0);
    if (SUCCEEDED(hr))
        hr = moniker->BindToStorage(context, nullptr, IID_IStream, stream.PutVoid());
    load.openResult = hr;
    if (FAILED(load.openResult) || !stream)
        return load;
    char buffer[8192];
    for (;;) {
        ULONG read = 0;
        HRESULT hr = stream->Read(buffer, sizeof buffer, &read);
        load.body.append(buffer, read);
        if (FAILED(hr)) {
            load.openResult = hr;
            break;
        }
        if (hr == S_FALSE || read == 0)
            break;
    }
    return load;
}
