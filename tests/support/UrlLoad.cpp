#include "tests/support/UrlLoad.h"

#include <urlmon.h>
#include <wininet.h>

#include <cstring>

#include "com/ComPtr.h"
#include "com/Object.h"

namespace {

class CLoadCallback final : public CComObjectBase<CLoadCallback, IBindStatusCallback>
{
public:
    explicit CLoadCallback(CUrlLoad& load, const char* headerName) : m_load(load), m_headerName(headerName) {}

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
    CComPtr<IBinding> m_binding;
};

}  // namespace

CUrlLoad LoadUrl(const std::wstring& url, const char* headerName)
{
    CUrlLoad load;
    CComPtr<CLoadCallback> callback = CLoadCallback::Create(load, headerName);
    CComPtr<IStream> stream;
    load.openResult = URLOpenBlockingStreamW(nullptr, url.c_str(), stream.Put(), 0, callback);
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
