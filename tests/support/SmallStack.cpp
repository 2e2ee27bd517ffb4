#include "tests/support/SmallStack.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "com/Handle.h"

namespace {

struct CSmallStackRun
{
    std::function<void()> work;
    std::size_t usable;
    bool finished = false;

    static void Consume(CSmallStackRun* run)
    {
        volatile char here = 0;
        MEMORY_BASIC_INFORMATION info{};
        VirtualQuery(const_cast<char*>(&here), &info, sizeof info);
        const std::size_t remaining =
            static_cast<std::size_t>(const_cast<char*>(&here) - static_cast<char*>(info.AllocationBase));
        const std::size_t excess = remaining > run->usable ? remaining - run->usable : 0;
        auto* block = static_cast<volatile char*>(__builtin_alloca(excess + 1));
        block[0] = 0;
        run->work();
        run->finished = true;
        block[excess] = 0;
    }
    static DWORD WINAPI Thread(void* parameter)
    {
        Consume(static_cast<CSmallStackRun*>(parameter));
        return 0;
    }
};

}  // namespace

void RunOnSmallStack(const std::function<void()>& work, std::size_t usable)
{
    CSmallStackRun run{work, usable};
    CHandle thread(CreateThread(nullptr, 256 * 1024, &CSmallStackRun::Thread, &run,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    ASSERT_TRUE(thread);
    // A hang fails here. A stack overflow may end the whole test process or,
    // under Wine, only the thread, without a word: the work must have
    // returned.
    ASSERT_EQ(WaitForSingleObject(thread.Get(), 120000), WAIT_OBJECT_0);
    ASSERT_TRUE(run.finished) << "the work never returned (its thread died, perhaps of a stack overflow)";
}
