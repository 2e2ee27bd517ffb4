#pragma once
// Threads with a large reserved stack for regular-expression work that does
// not fit on the caller's stack. Idle workers are kept for a while and end on
// their own; each holds a reference to the module that contains this code
// until it ends. Not for use from DllMain (it may start a thread and waits
// for it).

#include <windows.h>

#include <exception>

// Runs job(parameter) on a worker and waits until it has returned. False when
// no worker can be started (the job has not run). `job` must not throw.
bool RunJobOnWorkerStack(void (*job)(void*), void* parameter) noexcept;

// Runs `work` on a worker and waits for it; what it throws is rethrown here.
// False when no worker can be started.
template <class Work>
bool RunOnWorkerStack(Work& work)
{
    struct CJob
    {
        Work* work;
        std::exception_ptr error;
        static void Run(void* parameter)
        {
            auto* job = static_cast<CJob*>(parameter);
            try {
                (*job->work)();
            } catch (...) {
                job->error = std::current_exception();
            }
        }
    };
    CJob job{&work, nullptr};
    if (!RunJobOnWorkerStack(&CJob::Run, &job))
        return false;
    if (job.error)
        std::rethrow_exception(job.error);
    return true;
}
