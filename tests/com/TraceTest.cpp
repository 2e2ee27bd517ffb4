// Failures converted at a boundary leave one debug-output line each.

#include <gtest/gtest.h>

#include <windows.h>

#include <new>
#include <string>
#include <vector>

#include "com/Error.h"
#include "com/Trace.h"

namespace {

// OutputDebugString raises DBG_PRINTEXCEPTION_C (and, for wide text on
// newer systems, DBG_PRINTEXCEPTION_WIDE_C first); a vectored handler sees
// it before anyone else and lets it go on.
std::vector<std::string>* g_lines = nullptr;

LONG CALLBACK RecordDebugOutput(EXCEPTION_POINTERS* pointers)
{
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    if (g_lines && record.ExceptionCode == DBG_PRINTEXCEPTION_C && record.NumberParameters >= 2)
        g_lines->emplace_back(reinterpret_cast<const char*>(record.ExceptionInformation[1]));
    return EXCEPTION_CONTINUE_SEARCH;
}

class CDebugOutput
{
public:
    CDebugOutput() : m_handler(AddVectoredExceptionHandler(1, RecordDebugOutput)) { g_lines = &m_lines; }
    ~CDebugOutput()
    {
        g_lines = nullptr;
        RemoveVectoredExceptionHandler(m_handler);
    }
    const std::vector<std::string>& Lines() const { return m_lines; }

private:
    std::vector<std::string> m_lines;
    void* m_handler;
};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(Trace, EveryConvertedExceptionLeavesOneLineNamingItsPlace)
{
    CDebugOutput output;
    const int line = __LINE__ + 1;
    EXPECT_EQ(CallAtBoundary([] { ThrowHResult(E_ACCESSDENIED); }), E_ACCESSDENIED);
    EXPECT_EQ(CallAtBoundary([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    // A failure returned, not thrown, is an answer: no line.
    EXPECT_EQ(CallAtBoundary([] { return E_NOINTERFACE; }), E_NOINTERFACE);
    SetLastError(ERROR_FILE_NOT_FOUND);
    try {
        throw 5;
    } catch (...) {
        EXPECT_EQ(TraceCurrentException("index not published"), E_FAIL);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "a trace must keep the last error";

    ASSERT_EQ(output.Lines().size(), 3u) << testing::PrintToString(output.Lines());
    const std::string& denied = output.Lines()[0];
    EXPECT_EQ(denied.rfind("Quellan[", 0), 0u) << denied;
    EXPECT_TRUE(Contains(denied, "com/TraceTest.cpp:" + std::to_string(line) + " ")) << denied;
    EXPECT_TRUE(Contains(denied, "TestBody")) << denied;
    EXPECT_TRUE(Contains(denied, "(0x80070005)\n")) << denied;
    EXPECT_TRUE(Contains(output.Lines()[1], "(0x8007000E)")) << output.Lines()[1];
    EXPECT_TRUE(Contains(output.Lines()[2], ": index not published (0x80004005)\n")) << output.Lines()[2];

    // A long description is cut, never overruns the line.
    char buffer[64];
    const std::string longText(1000, 'x');
    FormatTraceLine(buffer, sizeof buffer, E_FAIL, longText.c_str(), "F", "a/b/c.cpp", 7);
    EXPECT_EQ(std::string(buffer).rfind("b/c.cpp:7 F: xxx", 0), 0u) << buffer;
    EXPECT_EQ(std::string(buffer).size(), sizeof buffer - 1);
}
