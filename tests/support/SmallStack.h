#pragma once
// Running code on a thread with as little stack as a browser tab's thread may
// have, to prove that it does not overflow.

#include <cstddef>
#include <functional>

// Runs `work` on a thread created with a 256 KiB stack reservation and waits
// for it; the current test fails unless `work` returned in time.
// Wine gives every thread at least 1 MiB whatever is asked, so the thread
// first uses up all but `usable` bytes of it, leaving what a 256 KiB thread
// has on Windows.
void RunOnSmallStack(const std::function<void()>& work, std::size_t usable = 256 * 1024);
