#include "com/Error.h"

#include <new>

#include "com/Trace.h"

void ThrowHResult(HRESULT hr)
{
    throw CHResultException(hr);
}

void ThrowIfFailed(HRESULT hr)
{
    if (FAILED(hr))
        ThrowHResult(hr);
}

HRESULT HResultFromLastError() noexcept
{
    HRESULT hr = HResultFromWin32(static_cast<LONG>(GetLastError()));
    return FAILED(hr) ? hr : E_FAIL;
}

void ThrowLastError()
{
    ThrowHResult(HResultFromLastError());
}

namespace {

HRESULT ConvertCurrentException() noexcept
{
    try {
        throw;
    } catch (const CHResultException& e) {
        return e.GetHResult();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

}  // namespace

HRESULT HResultFromCurrentException(const char* what, const char* function, const char* file, int line) noexcept
{
    const HRESULT hr = ConvertCurrentException();
    TraceFailure(hr, what, function, file, line);
    return hr;
}

HRESULT TraceCurrentException(const char* what, const char* function, const char* file, int line) noexcept
{
    return HResultFromCurrentException(what, function, file, line);
}
