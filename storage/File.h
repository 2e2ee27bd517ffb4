#pragma once
// The library's one class for files: an owned Windows file handle that is at
// the same time a narrow-character stream with line-end conversion. Writing
// puts a CR before every LF; reading drops every CR, so CR LF and LF line ends
// both read as LF.
//
// An object is used for reading only or for writing only; there is no
// put-back area and no seeking.

#include <windows.h>

#include <istream>
#include <streambuf>

#include "com/Handle.h"

class CFileBuf : public std::basic_streambuf<char>
{
public:
    static constexpr std::size_t kBufferSize = 4096;

    CFileBuf() noexcept;
    // Flushes pending output (a failure is lost here: call flush() first to
    // see it) and closes the handle, if there is one. Without a handle no
    // system call is made.
    ~CFileBuf() override;
    CFileBuf(const CFileBuf&) = delete;
    CFileBuf& operator=(const CFileBuf&) = delete;

    // The file, or empty. Public on purpose: the stores map it, the broker
    // duplicates it, and a caller may hand the object a handle it obtained
    // elsewhere (m_handle.Reset(h) or *m_handle.Put() = h); from then on this
    // object owns it.
    CHandle m_handle;

protected:
    // Reads the next block (at most kBufferSize bytes) and drops its CRs.
    // A failing ReadFile throws CHResultException; note that the standard
    // stream operations catch it and only set badbit, so a reader must test
    // bad() to tell a failed read from the end of the file.
    int_type underflow() override;
    // Stores c and writes the put area out. End-of-file if the write fails.
    int_type overflow(int_type c) override;
    // 0 when the pending output was written, -1 if WriteFile failed.
    int sync() override;

private:
    bool Flush();

    char m_buffer[kBufferSize];
};

// A file stream that owns its handle. Stream errors follow the standard rules
// (the exception mask is left empty): a failed write makes the stream bad.
class CFile : public CFileBuf, public std::basic_iostream<char>
{
public:
    // No file yet; fill m_handle later.
    CFile();
    // Opens with exactly these CreateFileW arguments; throws
    // HRESULT_FROM_WIN32(GetLastError()) if CreateFileW fails.
    CFile(const wchar_t* path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* securityAttributes,
          DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile = nullptr);
    ~CFile() override;
};
