#pragma once
// The lock on a local server's life, as the server's objects and its class
// object's LockServer see it: the host module implements it, the objects
// only hold it. Any thread; each call returns the new count.

#include <windows.h>

class CServerLock
{
public:
    virtual LONG Lock() noexcept = 0;
    virtual LONG Unlock() noexcept = 0;

protected:
    ~CServerLock() = default;
};
