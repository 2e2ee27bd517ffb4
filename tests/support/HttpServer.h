#pragma once
// A small HTTP/1.1 server on 127.0.0.1 for tests and demonstrations, running
// on a thread of its own in the calling process.
//
//   CHttpServer server;                       // listening on a free port
//   server.Serve("/img/ad.gif", gifBytes, "image/gif");
//   URLOpenBlockingStreamW(..., server.Url(L"/img/ad.gif").c_str(), ...);
//   server.RequestLines();                    // {"GET /img/ad.gif HTTP/1.1"}
//
// It answers GET, HEAD and POST (the body is read and dropped) on persistent
// connections, with the body configured for the path (the query is ignored),
// or 404. Every response forbids caching, so a repeated request reaches the
// server again. Each request line is logged as received, in arrival order;
// each accepted connection is counted, also one that never sends a request
// (a TLS handshake is closed at its first byte).
//
// Uses Winsock and Win32 threads only (no C++ thread library), so it builds
// with either thread model. All methods may be called from any thread.

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "com/Handle.h"
#include "com/Sync.h"

class CHttpServer
{
public:
    struct CResponse
    {
        int status = 200;
        std::string body;
        std::string contentType = "text/plain";
        // Extra header lines, each "Name: value" without the line end.
        std::vector<std::string> headers;
        // Sent as the ETag; a request whose If-None-Match names it gets
        // 304 Not Modified without a body.
        std::string etag;
        // How long the answer waits (a slow server).
        DWORD delayMs = 0;
        // When set, the answer also waits until this event is signalled (or
        // the server stops); the event must outlive the server.
        HANDLE hold = nullptr;
        // Only this many bytes of the body are sent (after a Content-Length
        // of the whole), then the connection is closed.
        std::size_t cutAfter = static_cast<std::size_t>(-1);
    };

    // Binds 127.0.0.1 (or another loopback address, such as "127.0.0.2",
    // for a second site) on a port the system picks and starts serving.
    // Throws std::runtime_error when the socket cannot be set up.
    explicit CHttpServer(const char* address = "127.0.0.1");
    // Stops serving and closes every connection.
    ~CHttpServer();
    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    unsigned short Port() const noexcept { return m_port; }
    // "http://ADDRESS:PORT" followed by path (which starts with "/").
    std::wstring Url(const std::wstring& path) const;

    // Configures what a request for path gets (replacing an earlier one).
    void Serve(const std::string& path, CResponse response);
    void Serve(const std::string& path, std::string body, std::string contentType = "text/plain");
    // Serves every file under folder (a Windows path), each at "/" plus its
    // path relative to folder with forward slashes, typed by its extension
    // (html, css, js, gif, png, jpg, swf, txt; anything else as octet-stream).
    // Throws std::runtime_error when the folder or a file cannot be read.
    void ServeFolder(const std::wstring& folder);

    // The request lines received so far ("GET /path?q HTTP/1.1").
    std::vector<std::string> RequestLines() const;
    // How many received request lines contain text.
    std::size_t CountRequests(const std::string& text) const;
    std::size_t ConnectionCount() const;
    // How many answers had this status.
    std::size_t CountAnswers(int status) const;
    // Waits until the predicate over the server holds; false after timeoutMs.
    template <class Predicate>
    bool WaitFor(Predicate&& done, DWORD timeoutMs) const
    {
        DWORD start = GetTickCount();
        while (!done()) {
            if (GetTickCount() - start >= timeoutMs)
                return false;
            Sleep(5);
        }
        return true;
    }

private:
    struct CConnection;

    static DWORD WINAPI ThreadMain(void* self);
    void Run();
    // Handles the requests complete in the connection's buffer; false when
    // the connection is to be closed.
    bool Answer(CConnection& connection);
    CResponse Lookup(const std::string& target) const;

    std::uintptr_t m_listener;  // SOCKET
    unsigned short m_port = 0;
    std::wstring m_host;
    volatile LONG m_stop = 0;
    CHandle m_thread;

    mutable CCriticalSection m_lock;  // everything below
    std::map<std::string, CResponse> m_responses;
    std::vector<std::string> m_requestLines;
    std::vector<int> m_statuses;
    std::size_t m_connections = 0;
};
