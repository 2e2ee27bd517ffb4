#pragma once
// What every benchmark needs: a clock in microseconds and a whole file read
// as bytes.

#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

// Microseconds since an arbitrary start, from the performance counter.
inline double NowMicroseconds()
{
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

// The file's bytes; empty when it cannot be read.
inline std::string ReadFileText(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
