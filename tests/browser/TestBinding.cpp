#include "tests/browser/TestBinding.h"

#include <cstdio>
#include <stdexcept>

std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

CTestBinding::CTestBinding() : m_wake(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    if (!m_wake)
        throw std::runtime_error("CreateEvent failed");
}

CTestBinding::~CTestBinding()
{
    // As urlmon does: the protocol's reference went to this object and was
    // given back; only the inner unknown is released.
    m_protocol = nullptr;
    m_inner.Reset();
}

HRESULT CTestBinding::Aggregate(IClassFactory* factory)
{
    HRESULT hr = factory->CreateInstance(GetControllingUnknown(), IID_IUnknown, m_inner.PutVoid());
    if (FAILED(hr))
        return hr;
    IInternetProtocolEx* protocol = nullptr;
    hr = m_inner->QueryInterface(IID_IInternetProtocolEx, reinterpret_cast<void**>(&protocol));
    if (FAILED(hr))
        return hr;
    protocol->Release();
    m_protocol = protocol;
    return S_OK;
}

HRESULT CTestBinding::QueryOtherInterface(REFIID riid, void** ppv)
{
    return m_inner ? m_inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
}

void CTestBinding::Record(std::string call)
{
    CCritSecLock hold(m_lock);
    m_calls.push_back(std::move(call));
}

std::vector<std::string> CTestBinding::Calls() const
{
    CCritSecLock hold(m_lock);
    return m_calls;
}

std::vector<std::string> CTestBinding::CallsStartingWith(const std::string& prefix) const
{
    std::vector<std::string> matching;
    for (const std::string& call : Calls()) {
        if (call.compare(0, prefix.size(), prefix) == 0)
            matching.push_back(call);
    }
    return matching;
}

void CTestBinding::SetSinkResults(HRESULT progress, HRESULT data, HRESULT result)
{
    CCritSecLock hold(m_lock);
    m_progressAnswer = progress;
    m_dataAnswer = data;
    m_resultAnswer = result;
}

bool CTestBinding::RunToResult(DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        bool done;
        bool read;
        std::deque<PROTOCOLDATA> switched;
        {
            CCritSecLock hold(m_lock);
            switched.swap(m_switched);
            read = m_dataReported;
            m_dataReported = false;
            done = m_done;
        }
        for (PROTOCOLDATA& data : switched)
            m_protocol->Continue(&data);
        if (read || done)
            ReadAvailable();
        if (done && switched.empty())
            return true;
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= timeoutMs)
            return false;
        HANDLE wake = m_wake.Get();
        if (MsgWaitForMultipleObjects(1, &wake, FALSE, timeoutMs - elapsed, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
                DispatchMessageW(&message);
        }
    }
}

void CTestBinding::ReadAvailable()
{
    char buffer[4096];
    for (;;) {
        ULONG read = 0;
        HRESULT hr = m_protocol->Read(buffer, sizeof buffer, &read);
        m_body.append(buffer, read);
        if (hr != S_OK || read == 0)
            return;
    }
}

STDMETHODIMP CTestBinding::Switch(PROTOCOLDATA* pProtocolData)
{
    // The handler's data lives on its caller's stack: keep a copy for the
    // Continue call on the driving thread.
    CCritSecLock hold(m_lock);
    m_calls.push_back("Switch");
    m_switched.push_back(*pProtocolData);
    SetEvent(m_wake.Get());
    return S_OK;
}

STDMETHODIMP CTestBinding::ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText)
{
    Record("ReportProgress(" + std::to_string(ulStatusCode) + ", " +
           (szStatusText ? Narrow(szStatusText) : std::string("null")) + ")");
    CCritSecLock hold(m_lock);
    return m_progressAnswer;
}

STDMETHODIMP CTestBinding::ReportData(DWORD grfBSCF, ULONG ulProgress, ULONG ulProgressMax)
{
    CCritSecLock hold(m_lock);
    m_calls.push_back("ReportData(" + std::to_string(grfBSCF) + ", " + std::to_string(ulProgress) + ", " +
                      std::to_string(ulProgressMax) + ")");
    m_dataReported = true;
    SetEvent(m_wake.Get());
    return m_dataAnswer;
}

STDMETHODIMP CTestBinding::ReportResult(HRESULT hrResult, DWORD dwError, LPCWSTR szResult)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(hrResult));
    CCritSecLock hold(m_lock);
    m_calls.push_back(std::string("ReportResult(") + code + ", " + std::to_string(dwError) + ", " +
                      (szResult ? Narrow(szResult) : std::string("null")) + ")");
    m_done = true;
    m_result = hrResult;
    SetEvent(m_wake.Get());
    return m_resultAnswer;
}

STDMETHODIMP CTestBinding::GetBindInfo(DWORD* grfBINDF, BINDINFO* pbindinfo)
{
    if (!grfBINDF || !pbindinfo || pbindinfo->cbSize < offsetof(BINDINFO, dwBindVerb) + sizeof(DWORD))
        return E_INVALIDARG;
    // Switch and Continue as under urlmon; never a cached answer.
    *grfBINDF = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA | BINDF_FROMURLMON |
                BINDF_GETNEWESTVERSION | BINDF_NOWRITECACHE;
    DWORD size = pbindinfo->cbSize;
    ZeroMemory(pbindinfo, size);
    pbindinfo->cbSize = size;
    pbindinfo->dwBindVerb = BINDVERB_GET;
    return S_OK;
}

STDMETHODIMP CTestBinding::GetBindString(ULONG ulStringType, LPOLESTR* ppwzStr, ULONG cEl, ULONG* pcElFetched)
{
    if (ulStringType != BINDSTRING_ACCEPT_MIMES || !ppwzStr || cEl < 1 || !pcElFetched)
        return INET_E_USE_DEFAULT_SETTING;
    static const wchar_t kAll[] = L"*/*";
    auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc(sizeof kAll));
    if (!text)
        return E_OUTOFMEMORY;
    CopyMemory(text, kAll, sizeof kAll);
    ppwzStr[0] = text;
    *pcElFetched = 1;
    return S_OK;
}

STDMETHODIMP CTestBinding::QueryService(REFGUID guidService, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!InlineIsEqualGUID(guidService, IID_IHttpNegotiate))
        return E_NOINTERFACE;
    return QueryInterface(riid, ppv);
}

STDMETHODIMP CTestBinding::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* pszAdditionalHeaders)
{
    if (!pszAdditionalHeaders)
        return E_POINTER;
    *pszAdditionalHeaders = nullptr;
    if (m_requestHeaders.empty())
        return S_OK;
    std::size_t bytes = (m_requestHeaders.size() + 1) * sizeof(wchar_t);
    *pszAdditionalHeaders = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (!*pszAdditionalHeaders)
        return E_OUTOFMEMORY;
    CopyMemory(*pszAdditionalHeaders, m_requestHeaders.c_str(), bytes);
    return S_OK;
}

STDMETHODIMP CTestBinding::OnResponse(DWORD, LPCWSTR, LPCWSTR, LPWSTR* pszAdditionalRequestHeaders)
{
    if (pszAdditionalRequestHeaders)
        *pszAdditionalRequestHeaders = nullptr;
    return S_OK;
}
