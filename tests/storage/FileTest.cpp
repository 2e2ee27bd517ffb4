#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "com/Error.h"
#include "storage/File.h"
#include "tests/storage/StoreTestSupport.h"
#include "tests/support/TestEnvironment.h"

namespace {

class FileStream : public testing::Test
{
protected:
    std::wstring m_path = MakeScratchDir() + L"\\file.txt";

    void Write(const std::string& text)
    {
        CFile file(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
        file << text;
        file.flush();
        ASSERT_TRUE(file.good());
    }

    std::vector<std::string> ReadLines()
    {
        CFile file(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
        EXPECT_FALSE(file.bad());
        return lines;
    }
};

HRESULT HResultOf(void (*f)(const std::wstring&), const std::wstring& path)
{
    try {
        f(path);
    } catch (const CHResultException& e) {
        return e.GetHResult();
    }
    return S_OK;
}

}  // namespace

TEST_F(FileStream, WritesCrBeforeEveryLfAndNothingElse)
{
    Write("one\ntwo\n\nthree");
    EXPECT_EQ(ReadFileBytes(m_path), "one\r\ntwo\r\n\r\nthree");
    Write("no line feed \r at all");
    EXPECT_EQ(ReadFileBytes(m_path), "no line feed \r at all");
}

// Lines of every length around the 4096-byte buffer, so that LFs fall on both
// sides of each block boundary, including the byte that overflow() receives.
TEST_F(FileStream, LongTextsSurviveBlockBoundariesBothWays)
{
    std::string text, expected;
    std::vector<std::string> lines;
    for (int n = 0; n < 9000; n += 97) {
        std::string line(static_cast<std::size_t>(n % 4099), static_cast<char>('a' + n % 26));
        lines.push_back(line);
        text += line + "\n";
        expected += line + "\r\n";
    }
    std::string single(4095, 'x');
    lines.push_back(single);
    text += single + "\n";
    expected += single + "\r\n";

    Write(text);
    EXPECT_EQ(ReadFileBytes(m_path), expected);
    EXPECT_EQ(ReadLines(), lines);
}

TEST_F(FileStream, ReadingDropsEveryCr)
{
    WriteFileBytes(m_path, "crlf\r\nlf\nmid\rdle\r\r\nlast");
    EXPECT_EQ(ReadLines(), (std::vector<std::string>{"crlf", "lf", "middle", "last"}));

    WriteFileBytes(m_path, "mac\rstyle\rlines\r");
    EXPECT_EQ(ReadLines(), std::vector<std::string>{"macstylelines"});

    // A whole block of CRs is not the end of the file.
    WriteFileBytes(m_path, std::string(3 * 4096, '\r') + "after\r\n");
    EXPECT_EQ(ReadLines(), std::vector<std::string>{"after"});
}

TEST_F(FileStream, OpenFailuresThrowTheWin32Error)
{
    auto open = [](const std::wstring& path) {
        CFile file(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    };
    EXPECT_EQ(HResultOf(open, m_path), HResultFromWin32(ERROR_FILE_NOT_FOUND));

    Write("x");
    CFile holder(m_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(HResultOf(open, m_path), HResultFromWin32(ERROR_SHARING_VIOLATION));
}

TEST_F(FileStream, ReadFailureThrowsAndLeavesTheStreamBad)
{
    Write("content\n");
    CFile writeOnly(m_path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    try {
        writeOnly.rdbuf()->sgetc();
        ADD_FAILURE() << "reading a write-only handle did not throw";
    } catch (const CHResultException& e) {
        EXPECT_EQ(e.GetHResult(), HResultFromWin32(ERROR_ACCESS_DENIED));
    }
    // Through the stream, the failure is not mistaken for the end of the file.
    std::string line;
    std::getline(writeOnly, line);
    EXPECT_TRUE(writeOnly.bad());
}

TEST_F(FileStream, WriteFailureMakesTheStreamBad)
{
    Write("");
    CFile readOnly(m_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    readOnly << "lost\n";
    readOnly.flush();
    EXPECT_TRUE(readOnly.bad());
}

TEST_F(FileStream, OwnsAHandleGivenLaterAndClosesItAfterFlushing)
{
    {
        CFile file;
        file.m_handle.Reset(CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file.m_handle);
        file << "pending\n";
    }
    EXPECT_EQ(ReadFileBytes(m_path), "pending\r\n");
    // Closed: an exclusive open succeeds.
    CFileHandle exclusive(CreateFileW(m_path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(exclusive);

    // Without a handle, destruction makes no system call (a CloseHandle(NULL)
    // would leave ERROR_INVALID_HANDLE behind).
    SetLastError(0x1234);
    { CFile empty; }
    EXPECT_EQ(GetLastError(), 0x1234u);
}
