// Room for many idle keep-alive connections in one select().
#define FD_SETSIZE 1024
#include <winsock2.h>
#include <ws2tcpip.h>

#include "tests/support/HttpServer.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

// A request whose header block grows past this without ending is not HTTP.
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

class CWinsock
{
public:
    CWinsock()
    {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            throw std::runtime_error("WSAStartup failed");
    }
    ~CWinsock() { WSACleanup(); }
    CWinsock(const CWinsock&) = delete;
    CWinsock& operator=(const CWinsock&) = delete;
};

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// The value of a header in a header block (lines after the request line),
// or empty.
std::string HeaderValue(const std::string& block, const char* lowerName)
{
    std::string lower = Lower(block);
    std::string key = std::string("\r\n") + lowerName + ":";
    std::size_t at = lower.find(key);
    if (at == std::string::npos)
        return std::string();
    std::size_t begin = at + key.size();
    std::size_t end = block.find("\r\n", begin);
    std::string value = block.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
    std::size_t first = value.find_first_not_of(" \t");
    std::size_t last = value.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
}

const char* ReasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 304:
        return "Not Modified";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

struct CFindHandle
{
    HANDLE handle;
    ~CFindHandle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            FindClose(handle);
    }
};

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    return out;
}

std::string ReadWholeFile(const std::wstring& path)
{
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        throw std::runtime_error("cannot open a file to serve");
    std::string bytes;
    char chunk[64 * 1024];
    DWORD read = 0;
    while (ReadFile(file.Get(), chunk, sizeof chunk, &read, nullptr) && read > 0)
        bytes.append(chunk, read);
    return bytes;
}

const char* ContentTypeOf(const std::wstring& name)
{
    static const struct
    {
        const wchar_t* extension;
        const char* type;
    } kTypes[] = {
        {L".html", "text/html"},       {L".htm", "text/html"},
        {L".css", "text/css"},         {L".js", "application/javascript"},
        {L".gif", "image/gif"},        {L".png", "image/png"},
        {L".jpg", "image/jpeg"},       {L".jpeg", "image/jpeg"},
        {L".swf", "application/x-shockwave-flash"}, {L".txt", "text/plain"},
    };
    std::size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) {
        for (const auto& entry : kTypes) {
            if (_wcsicmp(name.c_str() + dot, entry.extension) == 0)
                return entry.type;
        }
    }
    return "application/octet-stream";
}

bool SendAll(SOCKET socket, const std::string& bytes)
{
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - sent, 1 << 20));
        int n = send(socket, bytes.data() + sent, chunk, 0);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

struct CHttpServer::CConnection
{
    explicit CConnection(SOCKET s) noexcept : socket(s) {}
    ~CConnection() { closesocket(socket); }
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    SOCKET socket;
    std::string buffer;
};

CHttpServer::CHttpServer(const char* host) : m_listener(INVALID_SOCKET), m_host(host, host + strlen(host))
{
    static CWinsock winsock;
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        throw std::runtime_error("cannot create the server socket");
    m_listener = listener;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr(host);
    address.sin_port = 0;
    int length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(listener);
        throw std::runtime_error(std::string("cannot listen on ") + host);
    }
    m_port = ntohs(address.sin_port);
    HANDLE thread = CreateThread(nullptr, 0, &CHttpServer::ThreadMain, this, 0, nullptr);
    if (!thread) {
        closesocket(listener);
        throw std::runtime_error("cannot start the server thread");
    }
    m_thread = CHandle(thread);
}

CHttpServer::~CHttpServer()
{
    InterlockedExchange(&m_stop, 1);
    WaitForSingleObject(m_thread.Get(), INFINITE);
    closesocket(static_cast<SOCKET>(m_listener));
}

std::wstring CHttpServer::Url(const std::wstring& path) const
{
    return L"http://" + m_host + L":" + std::to_wstring(m_port) + path;
}

void CHttpServer::Serve(const std::string& path, CResponse response)
{
    CCritSecLock hold(m_lock);
    m_responses[path] = std::move(response);
}

void CHttpServer::Serve(const std::string& path, std::string body, std::string contentType)
{
    CResponse response;
    response.body = std::move(body);
    response.contentType = std::move(contentType);
    Serve(path, std::move(response));
}

void CHttpServer::ServeFolder(const std::wstring& folder)
{
    std::vector<std::wstring> pending = {std::wstring()};
    while (!pending.empty()) {
        std::wstring relative = pending.back();
        pending.pop_back();
        WIN32_FIND_DATAW found;
        CFindHandle search{FindFirstFileW((folder + L"\\" + relative + L"*").c_str(), &found)};
        if (search.handle == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot list a folder to serve");
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                pending.push_back(relative + name + L"\\");
                continue;
            }
            std::wstring urlPath = L"/" + relative + name;
            for (wchar_t& c : urlPath)
                c = c == L'\\' ? L'/' : c;
            Serve(Utf8(urlPath), ReadWholeFile(folder + L"\\" + relative + name), ContentTypeOf(name));
        } while (FindNextFileW(search.handle, &found));
    }
}

std::vector<std::string> CHttpServer::RequestLines() const
{
    CCritSecLock hold(m_lock);
    return m_requestLines;
}

std::size_t CHttpServer::CountRequests(const std::string& text) const
{
    CCritSecLock hold(m_lock);
    std::size_t count = 0;
    for (const std::string& line : m_requestLines)
        count += line.find(text) != std::string::npos;
    return count;
}

std::size_t CHttpServer::CountAnswers(int status) const
{
    CCritSecLock hold(m_lock);
    return static_cast<std::size_t>(std::count(m_statuses.begin(), m_statuses.end(), status));
}

std::size_t CHttpServer::ConnectionCount() const
{
    CCritSecLock hold(m_lock);
    return m_connections;
}

DWORD WINAPI CHttpServer::ThreadMain(void* self)
{
    static_cast<CHttpServer*>(self)->Run();
    return 0;
}

void CHttpServer::Run()
{
    SOCKET listener = static_cast<SOCKET>(m_listener);
    std::vector<std::unique_ptr<CConnection>> connections;
    while (!InterlockedCompareExchange(&m_stop, 0, 0)) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(listener, &readable);
        for (const auto& connection : connections)
            FD_SET(connection->socket, &readable);
        // Short, so that the destructor is never kept waiting long.
        timeval wait = {0, 50 * 1000};
        int ready = select(0, &readable, nullptr, nullptr, &wait);
        if (ready == SOCKET_ERROR) {
            Sleep(10);
            continue;
        }
        if (ready == 0)
            continue;
        for (std::size_t i = 0; i < connections.size();) {
            CConnection& connection = *connections[i];
            bool keep = true;
            if (FD_ISSET(connection.socket, &readable)) {
                char chunk[16 * 1024];
                int n = recv(connection.socket, chunk, sizeof chunk, 0);
                keep = n > 0;
                if (keep) {
                    connection.buffer.append(chunk, static_cast<std::size_t>(n));
                    keep = Answer(connection);
                }
            }
            if (keep) {
                ++i;
            } else {
                connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (FD_ISSET(listener, &readable)) {
            SOCKET accepted = accept(listener, nullptr, nullptr);
            if (accepted != INVALID_SOCKET) {
                {
                    CCritSecLock hold(m_lock);
                    ++m_connections;
                }
                // A client that stops reading must not stall the server.
                DWORD timeoutMs = 10000;
                setsockopt(accepted, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                           sizeof timeoutMs);
                if (connections.size() + 1 < FD_SETSIZE)
                    connections.push_back(std::make_unique<CConnection>(accepted));
                else
                    closesocket(accepted);
            }
        }
    }
}

bool CHttpServer::Answer(CConnection& connection)
{
    std::string& buffer = connection.buffer;
    for (;;) {
        if (buffer.empty())
            return true;
        // Not a request line (a TLS client hello, for one): nothing to say.
        if (!std::isupper(static_cast<unsigned char>(buffer[0])))
            return false;
        std::size_t headerEnd = buffer.find("\r\n\r\n");
        if (headerEnd == std::string::npos)
            return buffer.size() <= kMaxHeaderBytes;
        std::size_t lineEnd = buffer.find("\r\n");
        std::string requestLine = buffer.substr(0, lineEnd);
        std::string headers = buffer.substr(lineEnd, headerEnd - lineEnd + 2);
        std::string lengthText = HeaderValue(headers, "content-length");
        std::size_t bodyLength = lengthText.empty() ? 0 : std::strtoul(lengthText.c_str(), nullptr, 10);
        if (buffer.size() < headerEnd + 4 + bodyLength)
            return true;
        buffer.erase(0, headerEnd + 4 + bodyLength);

        std::string method = requestLine.substr(0, requestLine.find(' '));
        std::size_t targetStart = requestLine.find(' ');
        std::size_t targetEnd = requestLine.rfind(' ');
        std::string target = targetStart == std::string::npos || targetEnd <= targetStart
                                 ? std::string("/")
                                 : requestLine.substr(targetStart + 1, targetEnd - targetStart - 1);
        bool close = Lower(HeaderValue(headers, "connection")) == "close" ||
                     requestLine.compare(requestLine.size() < 8 ? 0 : requestLine.size() - 8, 8, "HTTP/1.0") == 0;
        CResponse response;
        {
            CCritSecLock hold(m_lock);
            m_requestLines.push_back(requestLine);
            response = Lookup(target);
            if (!response.etag.empty() && HeaderValue(headers, "if-none-match") == response.etag) {
                response.status = 304;
                response.body.clear();
            }
            m_statuses.push_back(response.status);
        }
        for (DWORD waited = 0; waited < response.delayMs && !InterlockedCompareExchange(&m_stop, 0, 0); waited += 10)
            Sleep(10);
        while (response.hold && !InterlockedCompareExchange(&m_stop, 0, 0) &&
               WaitForSingleObject(response.hold, 10) == WAIT_TIMEOUT) {
        }
        if (!response.etag.empty())
            response.headers.push_back("ETag: " + response.etag);
        const bool cut = response.cutAfter < response.body.size();
        std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " + ReasonPhrase(response.status) +
                          "\r\nContent-Type: " + response.contentType +
                          "\r\nContent-Length: " + std::to_string(response.body.size()) +
                          "\r\nCache-Control: no-store, no-cache\r\nPragma: no-cache\r\n";
        for (const std::string& header : response.headers)
            out += header + "\r\n";
        out += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
        if (method != "HEAD" && response.status != 304)
            out += cut ? response.body.substr(0, response.cutAfter) : response.body;
        if (!SendAll(connection.socket, out) || close || cut)
            return false;
    }
}

CHttpServer::CResponse CHttpServer::Lookup(const std::string& target) const
{
    std::string path = target.substr(0, target.find('?'));
    auto found = m_responses.find(path);
    if (found != m_responses.end())
        return found->second;
    CResponse missing;
    missing.status = 404;
    missing.body = "not found";
    return missing;
}
