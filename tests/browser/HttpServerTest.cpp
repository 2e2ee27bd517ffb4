// The test server itself, spoken to with a raw socket: what the request
// filter tests and the browser stand-in rely on.

#include <winsock2.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/Files.h"
#include "tests/support/HttpServer.h"
#include "tests/support/TestEnvironment.h"

namespace {

class CClientSocket
{
public:
    explicit CClientSocket(unsigned short port) : m_socket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP))
    {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        m_connected = connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        DWORD timeoutMs = 30000;
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof timeoutMs);
    }
    ~CClientSocket() { closesocket(m_socket); }
    CClientSocket(const CClientSocket&) = delete;
    CClientSocket& operator=(const CClientSocket&) = delete;

    bool Connected() const { return m_connected; }
    void Send(const std::string& bytes) { send(m_socket, bytes.data(), static_cast<int>(bytes.size()), 0); }
    // Everything until the server closes the connection.
    std::string ReceiveAll()
    {
        std::string received;
        char chunk[4096];
        int n;
        while ((n = recv(m_socket, chunk, sizeof chunk, 0)) > 0)
            received.append(chunk, static_cast<std::size_t>(n));
        return received;
    }

private:
    SOCKET m_socket;
    bool m_connected = false;
};

TEST(HttpServer, AnswersPipelinedRequestsOnOneConnectionAndLogsThemInOrder)
{
    std::wstring folder = MakeScratchDir();
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\img").c_str(), nullptr));
    WriteFileBytes(folder + L"\\img\\dot.gif", "GIF89a");

    CHttpServer server;
    server.Serve("/a", "alpha");
    server.ServeFolder(folder);
    CClientSocket client(server.Port());
    ASSERT_TRUE(client.Connected());
    client.Send("GET /a?x=1 HTTP/1.1\r\nHost: h\r\n\r\n"
                "HEAD /img/dot.gif HTTP/1.1\r\nHost: h\r\n\r\n"
                "POST /missing HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\nConnection: close\r\n\r\nbody");
    std::string answer = client.ReceiveAll();

    std::size_t first = answer.find("HTTP/1.1 200 OK\r\n");
    std::size_t second = answer.find("HTTP/1.1 200 OK\r\n", first + 1);
    std::size_t third = answer.find("HTTP/1.1 404 Not Found\r\n");
    ASSERT_EQ(first, 0u) << answer;
    ASSERT_NE(second, std::string::npos) << answer;
    ASSERT_NE(third, std::string::npos) << answer;
    EXPECT_EQ(answer.substr(second - 5, 5), "alpha");
    std::string head = answer.substr(second, third - second);
    EXPECT_NE(head.find("Content-Type: image/gif\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Length: 6\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n") << "a HEAD answer has no body";
    EXPECT_NE(answer.find("Cache-Control: no-store"), std::string::npos);

    EXPECT_EQ(server.RequestLines(), (std::vector<std::string>{"GET /a?x=1 HTTP/1.1", "HEAD /img/dot.gif HTTP/1.1",
                                                               "POST /missing HTTP/1.1"}));
    EXPECT_EQ(server.ConnectionCount(), 1u);
}

TEST(HttpServer, CountsAndClosesAConnectionThatDoesNotSpeakHttp)
{
    CHttpServer server;
    CClientSocket client(server.Port());
    ASSERT_TRUE(client.Connected());
    client.Send(std::string("\x16\x03\x01\x02\x00", 5));  // the start of a TLS client hello
    EXPECT_EQ(client.ReceiveAll(), "");
    EXPECT_EQ(server.ConnectionCount(), 1u);
    EXPECT_TRUE(server.RequestLines().empty());
}

}  // namespace
