#pragma once
// HTTPS for a test's CHttpServer, under Wine: tests/support/tls_front.py,
// started as a process of the Wine host (Python's ssl module, certificates
// made by openssl), takes TLS connections on a port of 127.0.0.1 and relays
// each, once its handshake succeeded, to the plain server. The requests and
// answers stay the server's (its log, ETags, 304s).
//
//   CHttpServer server;
//   CTlsFront front(server.Port(), {"trusted", "stranger"});
//   CTrustedRoot root(front.Certificate("trusted"));
//   ... front.Url(L"/list.txt") ...
//   front.Present("stranger");   // a certificate nobody trusts
//
// Throws std::runtime_error when it cannot start (not under Wine, no
// python3 or openssl on the host).

#include <windows.h>

#include <string>
#include <vector>

class CTlsFront
{
public:
    // One self-signed certificate for 127.0.0.1 per name; the first is
    // presented. Waits until the front listens.
    CTlsFront(unsigned short backendPort, const std::vector<std::string>& names);
    // Tells the front to stop (it also stops by itself after a few minutes).
    ~CTlsFront();
    CTlsFront(const CTlsFront&) = delete;
    CTlsFront& operator=(const CTlsFront&) = delete;

    // "https://127.0.0.1:PORT" followed by path.
    std::wstring Url(const std::wstring& path) const;
    // The certificate made for `name` (DER).
    std::string Certificate(const std::string& name) const;
    // New connections get `name`'s certificate; connections made with
    // another are closed before this returns.
    void Present(const std::string& name);

private:
    std::wstring m_folder;
    unsigned short m_port = 0;
};

// `certificate` (DER) among the current user's trusted root authorities for
// the lifetime of this object. (On Windows, adding one asks the user.)
class CTrustedRoot
{
public:
    explicit CTrustedRoot(const std::string& certificate);
    ~CTrustedRoot();
    CTrustedRoot(const CTrustedRoot&) = delete;
    CTrustedRoot& operator=(const CTrustedRoot&) = delete;

private:
    std::string m_certificate;
};
