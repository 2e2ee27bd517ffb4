#pragma once
// In-process locking: an owned critical section and its scoped hold.

#include <windows.h>

class CCriticalSection
{
public:
    CCriticalSection() noexcept { InitializeCriticalSection(&m_cs); }
    ~CCriticalSection() { DeleteCriticalSection(&m_cs); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter() noexcept { EnterCriticalSection(&m_cs); }
    // Enters only if no other thread is inside; never waits.
    bool TryEnter() noexcept { return TryEnterCriticalSection(&m_cs) != FALSE; }
    void Leave() noexcept { LeaveCriticalSection(&m_cs); }

private:
    CRITICAL_SECTION m_cs;
};

class CCritSecLock
{
public:
    explicit CCritSecLock(CCriticalSection& cs) noexcept : m_cs(cs) { m_cs.Enter(); }
    ~CCritSecLock() { m_cs.Leave(); }
    CCritSecLock(const CCritSecLock&) = delete;
    CCritSecLock& operator=(const CCritSecLock&) = delete;

private:
    CCriticalSection& m_cs;
};
