#pragma once
// Kill points for crash tests: this test executable's calls to the file and
// mapping functions of kernel32 go through hooks in its own import table, so
// a test can list the calls a piece of store code makes (a trace) and then
// end the process abruptly right before or right after any one of them, as a
// crash or a kill would, without a hook in the product code.
//
// Only calls made while the hooks are armed count; one thread at a time.

#include <windows.h>

#include <string>
#include <vector>

// The exit code of a process that ended at its kill point.
constexpr DWORD kKilledExitCode = 77;

enum class KillMode
{
    Before,  // the call is not made
    After,   // the call is made and returns
    Half,    // WriteFile only: half of the bytes are written (a torn write)
    Fail,    // the call is not made and fails with ERROR_DISK_FULL; no kill
    Outside, // the call is not made: a Unix SIGKILL ends the process, as a
             // watcher outside Wine would (Wine then hands the process's
             // mutexes to their next waiter as released, not abandoned)
};

// The exit code of a process that could not have itself killed from outside.
constexpr DWORD kNoOutsideKillExitCode = 78;

struct CKillPoint
{
    std::size_t call = 0;  // index into the trace
    KillMode mode = KillMode::Before;
};

// Installs the hooks for its lifetime (they pass every call through unless
// armed). One at a time per process.
class CKillPointHooks
{
public:
    CKillPointHooks();
    ~CKillPointHooks();
    CKillPointHooks(const CKillPointHooks&) = delete;
    CKillPointHooks& operator=(const CKillPointHooks&) = delete;

    // Counts the calls that follow; Trace() lists their function names.
    void ArmTrace();
    // Ends the process with kKilledExitCode at the point (or fails the call
    // there, for KillMode::Fail).
    void ArmKill(const CKillPoint& point);
    void Disarm();
    const std::vector<std::string>& Trace() const;
};

// Every point worth killing at in a traced sequence: before each call, after
// the last, and half way through each WriteFile.
std::vector<CKillPoint> KillPointsOf(const std::vector<std::string>& trace);
std::string Describe(const CKillPoint& point, const std::vector<std::string>& trace);

// As command line arguments of a role and back.
std::vector<std::wstring> KillPointArgs(const CKillPoint& point);
CKillPoint KillPointFromArgs(const std::vector<std::wstring>& args, std::size_t first);
