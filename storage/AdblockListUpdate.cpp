#include "storage/AdblockListUpdate.h"

#include <wininet.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwchar>
#include <memory>

#include "com/Error.h"
#include "com/Handle.h"
#include "engine/AdblockFormat.h"
#include "engine/AdblockSyntax.h"
#include "storage/NamedMutex.h"

namespace {

struct CInternetHandleTraits
{
    using Type = HINTERNET;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { InternetCloseHandle(h); }
};
using CInternetHandle = CUniqueResource<CInternetHandleTraits>;

constexpr std::uint64_t kTicksPerSecond = 10000000;

std::uint64_t ToTicks(FILETIME time) noexcept
{
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME FromTicks(std::uint64_t ticks) noexcept
{
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

FILETIME Now() noexcept
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) noexcept
{
    const std::size_t length = std::wcslen(prefix);
    return text.size() >= length && _wcsnicmp(text.c_str(), prefix, length) == 0;
}

// A spread that differs between processes and machines started together.
std::uint32_t RandomSpread() noexcept
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    std::uint64_t x = static_cast<std::uint64_t>(counter.QuadPart) ^ (std::uint64_t{GetCurrentProcessId()} << 32) ^
                      ToTicks(Now());
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return static_cast<std::uint32_t>(x ^ (x >> 31));
}

// The first line of a text (without a UTF-8 byte order mark), at most
// `limit` bytes of it.
std::string FirstLine(const std::string& text, std::size_t limit)
{
    std::size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const std::size_t end = text.find_first_of("\r\n", start);
    const std::size_t length = (end == std::string::npos ? text.size() : end) - start;
    return text.substr(start, std::min(length, limit));
}

// S_OK for text a list can be replaced with.
HRESULT CheckListText(const std::string& text, const std::wstring& contentType)
{
    // A header longer than this is no header (and the check stays cheap on
    // a body that is one long line).
    constexpr std::size_t kMaxHeaderLine = 4096;
    std::string first = FirstLine(text, kMaxHeaderLine + 1);
    if (first.size() > kMaxHeaderLine || !IsAdblockHeader(first)) {
        const std::size_t begin = text.find_first_not_of(" \t\r\n\xEF\xBB\xBF");
        const bool html = StartsWith(contentType, L"text/html") ||
                          StartsWith(contentType, L"application/xhtml") ||
                          (begin != std::string::npos && text[begin] == '<');
        return html ? kListIsHtmlPage : kListNotAdblock;
    }
    if (text.find('\0') != std::string::npos)
        return kListNotText;
    bool filters = false;
    ForEachAdblockLine(text, [&](std::uint32_t, std::string_view line) {
        if (filters)
            return;
        const CAdblockLine parsed = ParseAdblockLine(line);
        filters = parsed.kind == CAdblockLineKind::Network || parsed.kind == CAdblockLineKind::Cosmetic ||
                  parsed.kind == CAdblockLineKind::Skipped;
    });
    return filters ? S_OK : kListNotText;
}

std::wstring QueryText(HINTERNET request, DWORD what)
{
    wchar_t buffer[1024];
    DWORD size = sizeof buffer;
    DWORD index = 0;
    if (!HttpQueryInfoW(request, what, buffer, &size, &index))
        return std::wstring();
    return std::wstring(buffer, std::min<std::size_t>(size / sizeof(wchar_t), 1023));
}

CListFetch FetchAddress(const std::wstring& url, const std::wstring& etag, const std::wstring& lastModified,
                        const CListFetchOptions& options)
{
    CListFetch fetch;
    const DWORD started = GetTickCount();
    // The user's own settings (proxy, authentication), as the browser uses
    // them.
    CInternetHandle session(InternetOpenW(L"Quellan", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session) {
        fetch.result = HResultFromWin32(GetLastError());
        return fetch;
    }
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    wchar_t host[INTERNET_MAX_HOST_NAME_LENGTH];
    std::wstring path(url.size() + 1, L'\0');
    std::wstring extra(url.size() + 1, L'\0');
    parts.lpszHostName = host;
    parts.dwHostNameLength = INTERNET_MAX_HOST_NAME_LENGTH;
    parts.lpszUrlPath = &path[0];
    parts.dwUrlPathLength = static_cast<DWORD>(path.size());
    parts.lpszExtraInfo = &extra[0];
    parts.dwExtraInfoLength = static_cast<DWORD>(extra.size());
    if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts) || parts.dwHostNameLength == 0) {
        fetch.result = kListBadSource;
        return fetch;
    }
    path.resize(parts.dwUrlPathLength);
    extra.resize(parts.dwExtraInfoLength);
    const std::wstring object = (path.empty() ? std::wstring(L"/") : path) + extra;
    CInternetHandle connection(
        InternetConnectW(session.Get(), host, parts.nPort, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection) {
        fetch.result = HResultFromWin32(GetLastError());
        return fetch;
    }
    std::wstring headers;
    // Header values come from an earlier answer: no line breaks in them.
    auto clean = [](const std::wstring& value) {
        return value.find_first_of(L"\r\n") == std::wstring::npos && value.size() < 1024;
    };
    if (!etag.empty() && clean(etag))
        headers += L"If-None-Match: " + etag + L"\r\n";
    if (!lastModified.empty() && clean(lastModified))
        headers += L"If-Modified-Since: " + lastModified + L"\r\n";
    // Straight from the server: conditional requests are ours to make, and
    // the cache must not answer in its place.
    DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                  INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_KEEP_CONNECTION;
    if (parts.nScheme == INTERNET_SCHEME_HTTPS)
        flags |= INTERNET_FLAG_SECURE;
    const wchar_t* accept[] = {L"text/plain", L"*/*", nullptr};
    CInternetHandle request(
        HttpOpenRequestW(connection.Get(), L"GET", object.c_str(), nullptr, nullptr, accept, flags, 0));
    if (!request) {
        fetch.result = HResultFromWin32(GetLastError());
        return fetch;
    }
    // On every handle: Wine's WinINet does not pass the receive timeout down
    // from the session handle to the requests made through it.
    DWORD timeout = options.timeoutMs;
    for (HINTERNET handle : {session.Get(), connection.Get(), request.Get()}) {
        for (DWORD option :
             {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT})
            InternetSetOptionW(handle, option, &timeout, sizeof timeout);
    }
    const DWORD sent = GetTickCount();
    if (!HttpSendRequestW(request.Get(), headers.empty() ? nullptr : headers.c_str(),
                          static_cast<DWORD>(headers.size()), nullptr, 0)) {
        DWORD error = GetLastError();
        // Wine reports a receive timeout while waiting for the answer's
        // headers as an aborted connection.
        if (error == ERROR_INTERNET_CONNECTION_ABORTED && GetTickCount() - sent >= options.timeoutMs)
            error = ERROR_INTERNET_TIMEOUT;
        fetch.result = HResultFromWin32(error);
        return fetch;
    }
    wchar_t finalUrl[2084];
    DWORD urlSize = sizeof finalUrl;
    if (InternetQueryOptionW(request.Get(), INTERNET_OPTION_URL, finalUrl, &urlSize) &&
        _wcsicmp(finalUrl, url.c_str()) != 0)
        fetch.finalUrl = finalUrl;
    DWORD status = 0;
    DWORD size = sizeof status;
    DWORD index = 0;
    if (!HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, &index)) {
        fetch.result = HResultFromWin32(GetLastError());
        return fetch;
    }
    if (status == HTTP_STATUS_NOT_MODIFIED && !headers.empty()) {
        fetch.result = S_FALSE;
        return fetch;
    }
    if (status != HTTP_STATUS_OK) {
        fetch.result = HttpStatusFailure(status);
        return fetch;
    }
    const std::wstring contentType = QueryText(request.Get(), HTTP_QUERY_CONTENT_TYPE);
    const std::wstring lengthText = QueryText(request.Get(), HTTP_QUERY_CONTENT_LENGTH);
    std::uint64_t announced = 0;
    const bool hasLength = !lengthText.empty();
    if (hasLength) {
        for (wchar_t c : lengthText) {
            if (c < L'0' || c > L'9' || announced > kMaxAdblockListText)
                break;
            announced = announced * 10 + static_cast<std::uint64_t>(c - L'0');
        }
        if (announced > options.maxBytes) {
            fetch.result = kAdblockListTooLarge;
            return fetch;
        }
        fetch.text.reserve(static_cast<std::size_t>(announced));
    }
    char chunk[64 * 1024];
    for (;;) {
        if (GetTickCount() - started > options.totalTimeoutMs) {
            fetch.result = HResultFromWin32(ERROR_INTERNET_TIMEOUT);
            return fetch;
        }
        DWORD got = 0;
        if (!InternetReadFile(request.Get(), chunk, sizeof chunk, &got)) {
            const DWORD error = GetLastError();
            // A connection closed before the announced end is a cut body.
            fetch.result = hasLength && fetch.text.size() < announced && error != ERROR_INTERNET_TIMEOUT
                               ? kListCutShort
                               : HResultFromWin32(error);
            return fetch;
        }
        if (got == 0)
            break;
        if (fetch.text.size() + got > options.maxBytes) {
            fetch.result = kAdblockListTooLarge;
            return fetch;
        }
        fetch.text.append(chunk, got);
    }
    if (hasLength && fetch.text.size() != announced) {
        fetch.result = kListCutShort;
        return fetch;
    }
    if (fetch.text.empty()) {
        fetch.result = kListCutShort;
        return fetch;
    }
    fetch.result = CheckListText(fetch.text, contentType);
    if (fetch.result == S_OK) {
        fetch.etag = QueryText(request.Get(), HTTP_QUERY_ETAG);
        fetch.lastModified = QueryText(request.Get(), HTTP_QUERY_LAST_MODIFIED);
    }
    return fetch;
}

// A file's "Last-Modified": its last write time and size.
std::wstring FileStamp(const BY_HANDLE_FILE_INFORMATION& info)
{
    const std::uint64_t size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    return L"file " + std::to_wstring(ToTicks(info.ftLastWriteTime)) + L" " + std::to_wstring(size);
}

CListFetch FetchFile(const std::wstring& path, const std::wstring& lastModified, const CListFetchOptions& options)
{
    CListFetch fetch;
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!file || !GetFileInformationByHandle(file.Get(), &info)) {
        fetch.result = HResultFromWin32(GetLastError());
        return fetch;
    }
    const std::wstring stamp = FileStamp(info);
    if (!lastModified.empty() && stamp == lastModified) {
        fetch.result = S_FALSE;
        return fetch;
    }
    if (info.nFileSizeHigh != 0 || info.nFileSizeLow > options.maxBytes) {
        fetch.result = kAdblockListTooLarge;
        return fetch;
    }
    fetch.text.resize(info.nFileSizeLow);
    DWORD done = 0;
    while (done < fetch.text.size()) {
        DWORD got = 0;
        if (!ReadFile(file.Get(), &fetch.text[done], static_cast<DWORD>(fetch.text.size()) - done, &got, nullptr)) {
            fetch.result = HResultFromWin32(GetLastError());
            return fetch;
        }
        if (got == 0)
            break;
        done += got;
    }
    if (done != fetch.text.size() || done == 0) {
        fetch.result = kListCutShort;
        return fetch;
    }
    fetch.result = CheckListText(fetch.text, std::wstring());
    if (fetch.result == S_OK)
        fetch.lastModified = stamp;
    return fetch;
}

// Record of a check in an entry.
void RecordCheck(CAdblockListEntry& entry, FILETIME now, HRESULT result, DWORD period)
{
    entry.lastCheck = now;
    entry.lastResult = result;
    entry.failures = SUCCEEDED(result) ? 0 : std::min<DWORD>(entry.failures + 1, 64);
    entry.period = period;
    entry.nextDue = AdblockListNextDue(now, period, entry.failures, RandomSpread());
}

CAdblockListStore::CStamp StampOf(const CListFetch& fetch, FILETIME now, DWORD period)
{
    return [&fetch, now, period](CAdblockListEntry& entry) {
        if (fetch.result == S_OK) {
            entry.lastUpdate = now;
            entry.etag = fetch.etag;
            entry.lastModified = fetch.lastModified;
        }
        RecordCheck(entry, now, fetch.result, period);
    };
}

}  // namespace

DWORD AdblockListPeriodOf(const std::string& text)
{
    DWORD period = 0;
    ForEachAdblockLine(std::string_view(text).substr(0, 64 * 1024), [&](std::uint32_t number, std::string_view line) {
        constexpr std::string_view kExpires = "! Expires:";
        if (period != 0 || number > 50 || line.size() <= kExpires.size() ||
            _strnicmp(line.data(), kExpires.data(), kExpires.size()) != 0)
            return;
        line.remove_prefix(kExpires.size());
        while (!line.empty() && line.front() == ' ')
            line.remove_prefix(1);
        std::uint64_t count = 0;
        std::size_t digits = 0;
        while (digits < line.size() && digits < 9 && line[digits] >= '0' && line[digits] <= '9')
            count = count * 10 + static_cast<std::uint64_t>(line[digits++] - '0');
        if (digits == 0 || count == 0)
            return;
        line.remove_prefix(digits);
        while (!line.empty() && line.front() == ' ')
            line.remove_prefix(1);
        const char unit = line.empty() ? 'd' : static_cast<char>(line.front() | 0x20);
        if (unit != 'd' && unit != 'h')
            return;
        const bool hours = unit == 'h';
        const std::uint64_t seconds = count * (hours ? 3600 : 24 * 3600);
        period = static_cast<DWORD>(std::clamp<std::uint64_t>(seconds, kMinListPeriod, kMaxListPeriod));
    });
    return period != 0 ? period : kDefaultListPeriod;
}

FILETIME AdblockListNextDue(FILETIME now, DWORD period, DWORD failures, std::uint32_t random)
{
    period = std::clamp(period, kMinListPeriod, kMaxListPeriod);
    std::uint64_t delay = period;
    if (failures > 0) {
        delay = kMinListPeriod;
        for (DWORD i = 1; i < failures && delay < period; ++i)
            delay *= 2;
        delay = std::min<std::uint64_t>(delay, period);
    }
    const std::uint64_t spread = delay * (random % 1001) / 10000;
    return FromTicks(ToTicks(now) + (delay + spread) * kTicksPerSecond);
}

bool IsAdblockListAddress(const std::wstring& source)
{
    return StartsWith(source, L"http://") || StartsWith(source, L"https://");
}

std::wstring NormalizeAdblockListSource(const std::wstring& source)
{
    if (source.find(L"://") != std::wstring::npos || StartsWith(source, L"file:"))
        return source;
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(source.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(full, length) : source;
}

CListFetch FetchAdblockList(const std::wstring& source, const std::wstring& etag, const std::wstring& lastModified,
                            const CListFetchOptions& options)
{
    CListFetch fetch;
    if (source.empty() || source.size() > kMaxAdblockListSource || source.find(L'\0') != std::wstring::npos) {
        fetch.result = kListBadSource;
        return fetch;
    }
    if (IsAdblockListAddress(source)) {
        fetch = FetchAddress(source, etag, lastModified, options);
    } else if (StartsWith(source, L"file:")) {
        wchar_t path[MAX_PATH];
        DWORD length = MAX_PATH;
        if (FAILED(PathCreateFromUrlW(source.c_str(), path, &length, 0))) {
            fetch.result = kListBadSource;
            return fetch;
        }
        fetch = FetchFile(path, lastModified, options);
    } else if (source.find(L"://") != std::wstring::npos) {
        fetch.result = kListBadSource;
    } else {
        fetch = FetchFile(source, lastModified, options);
    }
    if (FAILED(fetch.result))
        fetch.text.clear();
    return fetch;
}

std::wstring DescribeListTime(const FILETIME& time)
{
    SYSTEMTIME utc;
    if ((time.dwLowDateTime == 0 && time.dwHighDateTime == 0) || !FileTimeToSystemTime(&time, &utc))
        return L"never";
    wchar_t text[32];
    swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u UTC", utc.wYear, utc.wMonth, utc.wDay, utc.wHour, utc.wMinute);
    return text;
}

std::wstring DescribeListFailure(HRESULT hr)
{
    if (hr == S_FALSE)
        return L"not modified";
    if ((static_cast<DWORD>(hr) & 0xFFFF0000u) == 0x80190000u)
        return L"the server answered " + std::to_wstring(static_cast<DWORD>(hr) & 0xFFFFu);
    switch (hr) {
    case S_OK: return L"ok";
    case kListNotAdblock:
        return L"what came is not an Adblock list (its first line is no header such as \"[Adblock Plus 2.0]\")";
    case kListIsHtmlPage: return L"an HTML page came instead of the list (a login or error page?)";
    case kListCutShort: return L"the list came cut short (fewer bytes than announced, or none)";
    case kListNotText: return L"what came is not a list's text (NUL bytes, or not one filter)";
    case kListBadSource: return L"the source is not a path nor an http, https or file address";
    case kListUpdateBusy: return L"another process has been updating the lists for too long; try again later";
    case kAdblockListTooLarge:
        return L"the list is larger than " + std::to_wstring(kMaxFetchedListText >> 20) + L" MB";
    default: break;
    }
    if (HRESULT_FACILITY(hr) != FACILITY_WIN32)
        return std::wstring();
    switch (HRESULT_CODE(hr)) {
    case ERROR_INTERNET_TIMEOUT: return L"no answer in time";
    case ERROR_INTERNET_NAME_NOT_RESOLVED: return L"the server's name cannot be resolved";
    case ERROR_INTERNET_CANNOT_CONNECT: return L"cannot connect to the server";
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET: return L"the server closed the connection";
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return L"the file is not there";
    // Certificates are never waved through: the reason names what an
    // administrator has to put right.
    case ERROR_INTERNET_INVALID_CA:
        return L"the server's certificate is not trusted by Windows (its issuer is not a trusted root authority)";
    case ERROR_INTERNET_SEC_CERT_CN_INVALID: return L"the server's certificate was issued for another name";
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID: return L"the server's certificate has expired or is not valid yet";
    case ERROR_INTERNET_SEC_CERT_REVOKED: return L"the server's certificate has been revoked";
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED: return L"the server's certificate is not valid or cannot be checked";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR: return L"no secure connection could be made with the server";
    default: break;
    }
    if (HRESULT_CODE(hr) >= INTERNET_ERROR_BASE && HRESULT_CODE(hr) <= INTERNET_ERROR_LAST) {
        wchar_t* text = nullptr;
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                                FORMAT_MESSAGE_IGNORE_INSERTS,
                                            GetModuleHandleW(L"wininet.dll"), HRESULT_CODE(hr), 0,
                                            reinterpret_cast<wchar_t*>(&text), 0, nullptr);
        CLocalMemory owner(text);
        std::wstring message = length ? std::wstring(text, length) : L"WinINet error " +
                                                                          std::to_wstring(HRESULT_CODE(hr));
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
            message.pop_back();
        return message;
    }
    return std::wstring();
}

CAdblockListEntry AddAdblockListFromSource(CAdblockListStore& store, const std::wstring& source,
                                           std::vector<std::wstring>* leftOut, const CListFetchOptions& options)
{
    const std::wstring stored = NormalizeAdblockListSource(source);
    const CListFetch fetch = FetchAdblockList(stored, std::wstring(), std::wstring(), options);
    if (fetch.result != S_OK)
        ThrowHResult(FAILED(fetch.result) ? fetch.result : E_UNEXPECTED);
    const FILETIME now = Now();
    const DWORD period = AdblockListPeriodOf(fetch.text);
    return store.Add(AdblockListNameOf(fetch.text, stored), stored, fetch.text, leftOut, StampOf(fetch, now, period));
}

std::vector<CListUpdateResult> UpdateAdblockLists(CAdblockListStore& store, const std::wstring& name, bool ifDue,
                                                  std::vector<std::wstring>* leftOut,
                                                  const CListFetchOptions& options)
{
    const FILETIME began = Now();
    CNamedMutex mutex(store.GetSecurityAttributes(), store.GetWriteLockName() + L".update");
    std::unique_ptr<CMutexHold> hold;
    try {
        // Another process's whole update at most, and its writes.
        hold = std::make_unique<CMutexHold>(mutex.Get(), options.totalTimeoutMs + 2 * kWriterWaitMs);
    } catch (const CHResultException& e) {
        if (e.GetHResult() == kLockTimedOut)
            ThrowHResult(kListUpdateBusy);
        throw;
    }
    // Lists left unusable (by an earlier version's image, or damage) are
    // compiled again first: an update is when that is noticed.
    store.RebuildIfUnusable(leftOut);
    const CAdblockCatalog catalog = store.ReadCatalog();
    std::vector<const CAdblockListEntry*> chosen;
    for (const CAdblockListEntry& entry : catalog.lists) {
        if (name.empty() ? !entry.source.empty() && entry.source != L"(recovered)"
                         : _wcsicmp(entry.name.c_str(), name.c_str()) == 0)
            chosen.push_back(&entry);
    }
    if (!name.empty() && chosen.empty())
        ThrowHResult(kAdblockListNotFound);
    std::vector<CListUpdateResult> results;
    for (const CAdblockListEntry* entry : chosen) {
        CListUpdateResult result;
        result.name = entry->name;
        result.entry = *entry;
        const FILETIME now = Now();
        if (CompareFileTime(&entry->lastCheck, &began) >= 0 ||
            (ifDue && CompareFileTime(&now, &entry->nextDue) < 0)) {
            results.push_back(std::move(result));
            continue;
        }
        try {
            const CListFetch fetch = FetchAdblockList(entry->source, entry->etag, entry->lastModified, options);
            const FILETIME checked = Now();
            const DWORD period = fetch.result == S_OK ? AdblockListPeriodOf(fetch.text)
                                                      : (entry->period != 0 ? entry->period : kDefaultListPeriod);
            result.result = fetch.result;
            if (fetch.result == S_OK) {
                result.entry = store.Replace(entry->name, fetch.text, StampOf(fetch, checked, period), leftOut);
                result.outcome = CListUpdateResult::Updated;
            } else {
                CAdblockListEntry stamped = *entry;
                const auto stamp = StampOf(fetch, checked, period);
                store.Stamp(entry->name, [&](CAdblockListEntry& stored) {
                    stamp(stored);
                    stamped = stored;
                });
                result.entry = stamped;
                result.outcome = fetch.result == S_FALSE ? CListUpdateResult::NotModified : CListUpdateResult::Failed;
            }
        } catch (const CHResultException& e) {
            result.outcome = CListUpdateResult::Failed;
            result.result = e.GetHResult();
        }
        results.push_back(std::move(result));
    }
    return results;
}
