#include "storage/File.h"

#include <algorithm>
#include <string>

#include "com/Error.h"

CFileBuf::CFileBuf() noexcept
{
    setg(m_buffer, m_buffer, m_buffer);
    // The last byte stays free for the character that overflow() receives.
    setp(m_buffer, m_buffer + kBufferSize - 1);
}

CFileBuf::~CFileBuf()
{
    if (m_handle)
        Flush();
}

CFileBuf::int_type CFileBuf::underflow()
{
    // A block of nothing but CRs is not the end of the file: read on.
    while (gptr() == egptr()) {
        DWORD read = 0;
        if (!ReadFile(m_handle.Get(), m_buffer, kBufferSize, &read, nullptr))
            ThrowLastError();
        if (read == 0)
            return traits_type::eof();
        setg(m_buffer, m_buffer, std::remove(m_buffer, m_buffer + read, '\r'));
    }
    return traits_type::to_int_type(*gptr());
}

CFileBuf::int_type CFileBuf::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return 0;
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return Flush() ? c : traits_type::eof();
}

int CFileBuf::sync()
{
    return Flush() ? 0 : -1;
}

bool CFileBuf::Flush()
{
    const char* first = pbase();
    const char* last = pptr();
    setp(m_buffer, m_buffer + kBufferSize - 1);
    if (first == last)
        return true;
    std::string out;
    out.reserve(2 * static_cast<std::size_t>(last - first));
    for (const char* p = first; p != last; ++p) {
        if (*p == '\n')
            out += '\r';
        out += *p;
    }
    DWORD written = 0;
    return WriteFile(m_handle.Get(), out.data(), static_cast<DWORD>(out.size()), &written, nullptr) != FALSE;
}

CFile::CFile() : std::basic_iostream<char>(static_cast<CFileBuf*>(this)) {}

CFile::CFile(const wchar_t* path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* securityAttributes,
             DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile)
    : CFile()
{
    HANDLE file = CreateFileW(path, access, shareMode, securityAttributes, creationDisposition, flagsAndAttributes,
                              templateFile);
    if (file == INVALID_HANDLE_VALUE)
        ThrowLastError();
    m_handle.Reset(file);
}

CFile::~CFile() = default;
