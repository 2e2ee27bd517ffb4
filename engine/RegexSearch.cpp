#include "engine/RegexSearch.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <regex>
#include <string>
#include <vector>

#include "com/Handle.h"

namespace {

namespace rc = std::regex_constants;

// Stack kept free at the bottom of every thread's stack: the guard page, the
// page the system needs to raise a stack overflow, and headroom for it.
constexpr std::size_t kStackFloor = 32 * 1024;
// A throw from the deepest guarded point and the unwinding back up (measured
// about 6 KiB below the throwing frame, x86_64 under Wine).
constexpr std::size_t kUnwindReserve = 32 * 1024;
// The compiler's recursion, measured with x86_64 GCC 12 libstdc++ (Wine):
// about 5 KiB for a short expression, 130 bytes more per term of an
// alternative and 530 per nested "(" (which is also a unit). The factors
// here leave a margin over those figures.
constexpr std::size_t kCompileBase = 16 * 1024;
constexpr std::size_t kCompilePerUnit = 192;
constexpr std::size_t kCompilePerGroup = 640;
// The only matcher states that touch no iterator are alternatives; a chain
// of them measured up to about 420 bytes each (empty alternatives in the
// automaton matcher).
constexpr std::size_t kAlternativeFrame = 512;
// Room a search should have beyond its reserve before it is worth starting
// on this thread at all (less, and backtracking gives up at once).
constexpr std::size_t kMinSearchRoom = 16 * 1024;
// A worker's reservation covers the compiler for any 65535-unit body (at most
// about 55 MB by the estimate) and deep matcher recursion; pages are
// committed only as used.
constexpr std::size_t kWorkerStack = 64u << 20;
// libstdc++'s automaton size limit (_GLIBCXX_REGEX_STATE_LIMIT): beyond it
// the compiler throws error_space.
constexpr std::size_t kStateLimit = 100000;
// The compiler ends by short-cutting chains of empty ("dummy") states, one
// state at a time along the whole chain: quadratic for long alternations
// and nested non-capturing groups (20000 alternatives take 2 s). A body
// whose estimated work exceeds this is not compiled; measured cost is about
// 10 ns per unit of the estimate at worst.
constexpr std::size_t kCompileWorkLimit = 20000000;
// Nested matchers of lookaheads each allocate arrays as large as the
// automaton and the capture list, all alive at once.
constexpr std::size_t kLookaheadBytesPerState = 48;
constexpr std::size_t kLookaheadMemoryLimit = 64u << 20;
// The automaton keeps a copy of the capture array for every live state, in
// two queues.
constexpr std::size_t kAutomatonCaptureBytes = 2 * 48;
constexpr std::size_t kAutomatonCaptureLimit = 64u << 20;

// Step budgets. EasyList's expressions against real URLs take a median of
// about 600 backtracking steps and about 1% of searches more than 50000;
// those are answered by the automaton instead, which needs at most about
// 75000 steps for them.
constexpr long kBacktrackBudget = 50000;
constexpr long kAutomatonBudget = 4000000;
// Wall-clock limit of each of the two searches, a backstop for steps whose
// cost grows with the size of the automaton or of a bracket expression.
constexpr DWORD kDeadlineMs = 250;
constexpr int kClockInterval = 16;

enum class CTrip
{
    None,
    Budget,
    Stack,
    Deadline,
};

// Limits of one search, shared by all copies of its iterators.
class CSearchGuard
{
public:
    explicit CSearchGuard(const char* stackLimit) noexcept : m_stackLimit(stackLimit) {}

    // Starts a search: a fresh step budget and deadline.
    void Arm(long budget) noexcept
    {
        m_budget = budget;
        m_deadline = GetTickCount() + kDeadlineMs;
        m_untilClock = kClockInterval;
        m_tripped = CTrip::None;
    }

    CTrip Tripped() const noexcept { return m_tripped; }

    void Step()
    {
        if (--m_budget < 0)
            Trip(CTrip::Budget);
        if (static_cast<const char*>(__builtin_frame_address(0)) < m_stackLimit)
            Trip(CTrip::Stack);
        if (--m_untilClock == 0) {
            m_untilClock = kClockInterval;
            if (static_cast<LONG>(GetTickCount() - m_deadline) >= 0)
                Trip(CTrip::Deadline);
        }
    }

private:
    [[noreturn, gnu::noinline, gnu::cold]] void Trip(CTrip why)
    {
        m_tripped = why;
        throw std::regex_error(why == CTrip::Stack ? rc::error_stack : rc::error_complexity);
    }

    const char* m_stackLimit;
    DWORD m_deadline = 0;
    long m_budget = 0;
    int m_untilClock = kClockInterval;
    CTrip m_tripped = CTrip::None;
};

// A pointer into the subject that reports every use to its guard. The
// matchers move, compare, read and assign iterators in every state except
// alternatives, so each step of either matcher passes through here.
class CGuardedIterator
{
public:
    using iterator_category = std::bidirectional_iterator_tag;
    using value_type = wchar_t;
    using difference_type = std::ptrdiff_t;
    using pointer = const wchar_t*;
    using reference = const wchar_t&;

    CGuardedIterator() noexcept = default;
    CGuardedIterator(const wchar_t* p, CSearchGuard* guard) noexcept : m_p(p), m_guard(guard) {}
    CGuardedIterator(const CGuardedIterator&) noexcept = default;
    CGuardedIterator& operator=(const CGuardedIterator& other)
    {
        Step();
        m_p = other.m_p;
        m_guard = other.m_guard;
        return *this;
    }

    reference operator*() const
    {
        Step();
        return *m_p;
    }
    pointer operator->() const
    {
        Step();
        return m_p;
    }
    CGuardedIterator& operator++()
    {
        Step();
        ++m_p;
        return *this;
    }
    CGuardedIterator operator++(int)
    {
        CGuardedIterator old(*this);
        ++*this;
        return old;
    }
    CGuardedIterator& operator--()
    {
        Step();
        --m_p;
        return *this;
    }
    CGuardedIterator operator--(int)
    {
        CGuardedIterator old(*this);
        --*this;
        return old;
    }
    friend bool operator==(const CGuardedIterator& a, const CGuardedIterator& b)
    {
        a.Step();
        return a.m_p == b.m_p;
    }
    friend bool operator!=(const CGuardedIterator& a, const CGuardedIterator& b) { return !(a == b); }

private:
    void Step() const
    {
        if (m_guard)
            m_guard->Step();
    }

    const wchar_t* m_p = nullptr;
    CSearchGuard* m_guard = nullptr;
};

const char* StackFloor() noexcept
{
    MEMORY_BASIC_INFORMATION info{};
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    if (!VirtualQuery(here, &info, sizeof info))
        return here;  // unknown: leave no room, so that work moves to a worker
    return static_cast<const char*>(info.AllocationBase) + kStackFloor;
}

std::size_t StackAbove(const char* floor) noexcept
{
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    return here > floor ? static_cast<std::size_t>(here - floor) : 0;
}

std::size_t SaturatingAdd(std::size_t a, std::size_t b) noexcept
{
    return a + b < a ? static_cast<std::size_t>(-1) : a + b;
}

std::size_t SaturatingMultiply(std::size_t a, std::size_t b) noexcept
{
    return (b != 0 && a > static_cast<std::size_t>(-1) / b) ? static_cast<std::size_t>(-1) : a * b;
}

enum class CToken
{
    Escape,      // "\" and the character after it
    Class,       // "[...]"
    Open,        // "(", "(?:", "(?=", "(?!"
    Close,       // ")"
    Bar,         // "|"
    Brace,       // "{...}"
    Quantifier,  // "*", "+", "?"
    Other,
};

// Splits a body the way libstdc++'s ECMAScript scanner does, as far as the
// structure is concerned: "\" always takes the next character, and inside
// a class only "]" ends it, except escaped or within "[:name:]",
// "[.name.]" or "[=name=]". Advances i past the token.
CToken NextToken(std::wstring_view body, std::size_t& i)
{
    const std::size_t n = body.size();
    const wchar_t c = body[i++];
    switch (c) {
    case L'\\':
        if (i < n)
            ++i;
        return CToken::Escape;
    case L'[':
        while (i < n && body[i] != L']') {
            if (body[i] == L'\\') {
                i += 2;
            } else if (body[i] == L'[' && i + 1 < n &&
                       (body[i + 1] == L':' || body[i + 1] == L'.' || body[i + 1] == L'=')) {
                const wchar_t kind = body[i + 1];
                i += 2;
                while (i + 1 < n && !(body[i] == kind && body[i + 1] == L']'))
                    ++i;
                i += 2;
            } else {
                ++i;
            }
        }
        i = i < n ? i + 1 : n;
        return CToken::Class;
    case L'(':
        if (i + 1 < n && body[i] == L'?' && (body[i + 1] == L':' || body[i + 1] == L'=' || body[i + 1] == L'!'))
            i += 2;
        return CToken::Open;
    case L')':
        return CToken::Close;
    case L'|':
        return CToken::Bar;
    case L'{':
        while (i < n && body[i] != L'}')
            ++i;
        i = i < n ? i + 1 : n;
        return CToken::Brace;
    case L'*':
    case L'+':
    case L'?':
        return CToken::Quantifier;
    default:
        return CToken::Other;
    }
}

bool IsLookahead(std::wstring_view body, std::size_t open)
{
    return open + 2 < body.size() && body[open + 1] == L'?' && (body[open + 2] == L'=' || body[open + 2] == L'!');
}

bool IsCapturing(std::wstring_view body, std::size_t open)
{
    return !(open + 1 < body.size() && body[open + 1] == L'?');
}

// The body as the automaton matcher gets it. With `onePass`, prefixed with a
// lazy run of anything, so that one pass anchored at the start finds a match
// anywhere. With `dropCaptures`, capturing groups become non-capturing:
// without back-references nothing reads them, and the automaton copies the
// capture array into every state it keeps alive.
std::wstring AutomatonPattern(std::wstring_view body, bool onePass, bool dropCaptures)
{
    std::wstring pattern;
    pattern.reserve(body.size() + (dropCaptures ? body.size() / 2 : 0) + 16);
    if (onePass)
        pattern += L"[\\s\\S]*?(?:";
    if (dropCaptures) {
        std::size_t i = 0;
        while (i < body.size()) {
            const std::size_t start = i;
            if (NextToken(body, i) == CToken::Open && IsCapturing(body, start))
                pattern += L"(?:";
            else
                pattern.append(body, start, i - start);
        }
    } else {
        pattern.append(body);
    }
    if (onePass)
        pattern += L')';
    return pattern;
}

// Threads with a large reserved stack, kept for the next search that needs
// one: under Wine, starting a thread with such a reservation costs about a
// millisecond, and its stack pages are committed afresh by every deep
// recursion. A worker waits for a job and, after kWorkerIdleMs without one,
// removes itself from the idle list and ends. Each worker holds a reference
// to the module that contains this code, released as the thread ends, so
// that the module cannot be unloaded under a waiting worker.
constexpr DWORD kWorkerIdleMs = 15000;

struct CWorker
{
    CHandle wake;  // set by a caller that has put a job here
    CHandle done;  // set by the worker when the job has run
    void (*job)(void*) = nullptr;
    void* jobParameter = nullptr;
    HMODULE module = nullptr;  // the worker's reference, released as it ends
    CWorker* nextIdle = nullptr;
};

// The idle workers, most recently used first (its stack is the warmest).
// Plain data, so that nothing needs destroying when the module goes: a
// worker that still exists keeps the module loaded.
CWorker* g_idleWorkers = nullptr;
std::atomic_flag g_idleLock = ATOMIC_FLAG_INIT;

class CIdleLock
{
public:
    CIdleLock() noexcept
    {
        while (g_idleLock.test_and_set(std::memory_order_acquire))
            SwitchToThread();
    }
    ~CIdleLock() { g_idleLock.clear(std::memory_order_release); }
    CIdleLock(const CIdleLock&) = delete;
    CIdleLock& operator=(const CIdleLock&) = delete;
};

CWorker* TakeIdleWorker() noexcept
{
    CIdleLock lock;
    CWorker* worker = g_idleWorkers;
    if (worker)
        g_idleWorkers = worker->nextIdle;
    return worker;
}

void PutIdleWorker(CWorker* worker) noexcept
{
    CIdleLock lock;
    worker->nextIdle = g_idleWorkers;
    g_idleWorkers = worker;
}

// Takes `worker` off the idle list: false when a caller has just taken it
// (its job is on the way).
bool RetireIdleWorker(CWorker* worker) noexcept
{
    CIdleLock lock;
    for (CWorker** link = &g_idleWorkers; *link; link = &(*link)->nextIdle) {
        if (*link == worker) {
            *link = worker->nextIdle;
            return true;
        }
    }
    return false;
}

DWORD WINAPI WorkerMain(void* parameter)
{
    auto* worker = static_cast<CWorker*>(parameter);
    for (;;) {
        if (WaitForSingleObject(worker->wake.Get(), kWorkerIdleMs) == WAIT_OBJECT_0) {
            worker->job(worker->jobParameter);
            SetEvent(worker->done.Get());
        } else if (RetireIdleWorker(worker)) {
            break;
        }
    }
    const HMODULE module = worker->module;
    delete worker;
    if (module)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}

// A new worker, not on the idle list; null when it cannot be started.
CWorker* StartWorker() noexcept
{
    std::unique_ptr<CWorker> worker(new (std::nothrow) CWorker);
    if (!worker)
        return nullptr;
    worker->wake.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    worker->done.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!worker->wake || !worker->done)
        return nullptr;
    // The executable itself is never unloaded: no reference for it.
    CLibrary module;
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerMain),
                           module.Put()) &&
        module.Get() == GetModuleHandleW(nullptr))
        module.Reset();
    worker->module = module.Get();
    CHandle thread(
        CreateThread(nullptr, kWorkerStack, &WorkerMain, worker.get(), STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread)
        return nullptr;
    module.Detach();  // now the worker's
    return worker.release();
}

// Runs `work` on a worker thread with a large reserved stack and waits for
// it; what it throws is rethrown here. False when no worker can be started.
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
    CWorker* worker = TakeIdleWorker();
    if (!worker)
        worker = StartWorker();
    if (!worker)
        return false;
    CJob job{&work, nullptr};
    worker->job = &CJob::Run;
    worker->jobParameter = &job;
    SetEvent(worker->wake.Get());
    WaitForSingleObject(worker->done.Get(), INFINITE);
    PutIdleWorker(worker);
    if (job.error)
        std::rethrow_exception(job.error);
    return true;
}

enum class COutcome
{
    NoMatch,
    Match,
    TooComplex,
    NeedsStack,  // cannot run safely on this thread's stack
};

bool RunSearch(const std::wregex& re, std::wstring_view text, CSearchGuard& guard, rc::match_flag_type flags)
{
    const CGuardedIterator first(text.data(), &guard);
    const CGuardedIterator last(text.data() + text.size(), &guard);
    return std::regex_search(first, last, re, flags | rc::match_any);
}

} // namespace

enum class CCompiledRegex::CState
{
    Ready,
    Invalid,     // does not compile: never matches
    TooComplex,  // cannot be compiled or run within the limits: never matches
};

struct CCompiledRegex::CImpl
{
    std::wstring body;
    CRegexShape shape;
    CRegexMatcher matcher = CRegexMatcher::Auto;
    CState state = CState::Ready;
    std::size_t minimumLength = 0;
    bool matchesEverything = false;
    bool compiledOnWorker = false;
    std::wregex backtracking;
    // The automaton form, compiled by the first search that needs it and
    // shared by all later ones; `automatonFailed` once it cannot be made.
    mutable std::atomic<std::wregex*> automaton{nullptr};
    mutable std::atomic<bool> automatonFailed{false};

    ~CImpl() { delete automaton.load(); }

    // One attempt on the current thread. `onWorker` says there is no bigger
    // stack to move to.
    COutcome SearchHere(std::wstring_view text, bool onWorker, CRegexSearchReport& report) const
    {
        const COutcome outOfStack = onWorker ? COutcome::TooComplex : COutcome::NeedsStack;
        if (state == CState::Invalid)
            return COutcome::NoMatch;
        if (state == CState::TooComplex)
            return COutcome::TooComplex;
        const char* floor = StackFloor();
        const std::size_t reserve = RegexSearchStackReserve(shape);
        // The matcher recurses through nested groups deeper than its guarded
        // steps show (a stack of 256 KiB dies at 1000 levels under Wine):
        // a search gets the stack the body's compilation needs, as when both
        // happened at once.
        if (StackAbove(floor) <
            SaturatingAdd(SaturatingAdd(RegexCompileStackNeed(shape), reserve), kMinSearchRoom))
            return outOfStack;

        CSearchGuard guard(floor + reserve);
        bool backtrackingOutOfStack = false;
        if (matcher != CRegexMatcher::Automaton) {
            // With back-references only the backtracking matcher can answer,
            // so it then gets the larger budget.
            const bool alone = matcher == CRegexMatcher::Backtracking || shape.backReference;
            guard.Arm(alone ? kAutomatonBudget : kBacktrackBudget);
            try {
                return RunSearch(backtracking, text, guard, rc::match_default) ? COutcome::Match : COutcome::NoMatch;
            } catch (const std::regex_error&) {
                if (guard.Tripped() == CTrip::None || guard.Tripped() == CTrip::Deadline)
                    return COutcome::TooComplex;
            }
            backtrackingOutOfStack = guard.Tripped() == CTrip::Stack;
            if (matcher == CRegexMatcher::Backtracking)
                return backtrackingOutOfStack ? outOfStack : COutcome::TooComplex;
        }

        // Back-references need the captures: the automaton cannot answer.
        if (shape.backReference || automatonFailed.load(std::memory_order_acquire))
            return backtrackingOutOfStack ? outOfStack : COutcome::TooComplex;

        // The automaton matcher tries every start position in turn unless
        // told to match only at the start; a body prefixed with a lazy "any
        // run" finds matches anywhere in one pass instead (the body is known
        // to be well-formed, so the added group cannot change its meaning).
        // A lookahead's nested matcher would take its own start for the
        // start of the text, though, so such bodies keep the per-position
        // search.
        const bool onePass = shape.lookaheads == 0;
        const std::wregex* re = automaton.load(std::memory_order_acquire);
        if (!re) {
            const bool dropCaptures =
                SaturatingMultiply(SaturatingMultiply(shape.matchers + 2, shape.captures + 3), kAutomatonCaptureBytes) >
                kAutomatonCaptureLimit;
            const std::wstring pattern = AutomatonPattern(body, onePass, dropCaptures);
            const CRegexShape patternShape = MeasureRegexShape(pattern);
            if (patternShape.compileWork > kCompileWorkLimit) {
                automatonFailed.store(true, std::memory_order_release);
                return COutcome::TooComplex;
            }
            if (StackAbove(floor) < SaturatingAdd(RegexCompileStackNeed(patternShape), reserve))
                return outOfStack;
            auto fresh = std::make_unique<std::wregex>();
            try {
                fresh->assign(pattern, rc::ECMAScript | rc::__polynomial);
            } catch (const std::regex_error&) {
                // error_complexity for a back-reference the scan did not see.
                automatonFailed.store(true, std::memory_order_release);
                return backtrackingOutOfStack ? outOfStack : COutcome::TooComplex;
            }
            std::wregex* expected = nullptr;
            if (automaton.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel))
                re = fresh.release();
            else
                re = expected;  // another search made it first
        }
        report.automaton = true;
        guard.Arm(kAutomatonBudget);
        try {
            return RunSearch(*re, text, guard, onePass ? rc::match_continuous : rc::match_default) ? COutcome::Match
                                                                                                : COutcome::NoMatch;
        } catch (const std::regex_error&) {
            return guard.Tripped() == CTrip::Stack ? outOfStack : COutcome::TooComplex;
        }
    }
};


CRegexShape MeasureRegexShape(std::wstring_view body)
{
    CRegexShape shape;
    shape.length = body.size();

    // Counts kept per open group, so that {n,m} can multiply what the group
    // it follows contains: the compiler copies the quantified atom.
    struct CWeights
    {
        std::size_t alternatives = 0;
        std::size_t units = 0;
        std::size_t matchers = 0;
        std::size_t dummies = 0;  // empty states the compiler makes
        std::size_t chained = 0;  // of those, the ones that can follow each other

        void Add(const CWeights& w) noexcept
        {
            alternatives = SaturatingAdd(alternatives, w.alternatives);
            units = SaturatingAdd(units, w.units);
            matchers = SaturatingAdd(matchers, w.matchers);
            dummies = SaturatingAdd(dummies, w.dummies);
            chained = SaturatingAdd(chained, w.chained);
        }
        CWeights Times(std::size_t factor) const noexcept
        {
            return CWeights{SaturatingMultiply(alternatives, factor), SaturatingMultiply(units, factor),
                            SaturatingMultiply(matchers, factor), SaturatingMultiply(dummies, factor),
                            SaturatingMultiply(chained, factor)};
        }
    };
    struct CGroup
    {
        CWeights inside;
        bool capturing = false;  // a capture or lookahead state ends a chain of empty states
    };
    std::vector<CGroup> open(1);
    CWeights last;  // the atom just finished, for a quantifier that follows
    bool unbalanced = false;

    std::size_t i = 0;
    while (i < body.size()) {
        const std::size_t start = i;
        const CToken token = NextToken(body, i);
        const std::size_t units = i - start;
        switch (token) {
        case CToken::Escape:
            if (units == 2 && body[start + 1] >= L'1' && body[start + 1] <= L'9')
                shape.backReference = true;
            last = CWeights{0, units, 1, 0, 0};
            open.back().inside.Add(last);
            break;
        case CToken::Class:
        case CToken::Other:
            last = CWeights{0, units, 1, 0, 0};
            open.back().inside.Add(last);
            break;
        case CToken::Open: {
            ++shape.groups;
            const bool lookahead = IsLookahead(body, start);
            const bool capturing = IsCapturing(body, start);
            if (lookahead)
                ++shape.lookaheads;
            if (capturing)
                ++shape.captures;
            open.push_back(CGroup{CWeights{0, 1, 0, 0, 0}, capturing || lookahead});
            last = CWeights{};
            break;
        }
        case CToken::Close:
            if (open.size() == 1) {
                unbalanced = true;
                last = CWeights{};
                break;
            }
            // The group's last alternative ends in an empty state; a
            // non-capturing group also starts with one.
            last = open.back().inside;
            last.Add(open.back().capturing ? CWeights{0, 1, 0, 1, 0} : CWeights{0, 1, 0, 2, 2});
            open.pop_back();
            open.back().inside.Add(last);
            break;
        case CToken::Bar:
            // An empty state ends the alternative before and another joins
            // the two.
            open.back().inside.Add(CWeights{1, 1, 0, 2, 2});
            last = CWeights{};
            break;
        case CToken::Brace: {
            // {n}, {n,} or {n,m}: the quantified atom is copied once per
            // repetition; the original stays in the automaton as well.
            std::size_t j = start + 1;
            std::size_t low = 0, high = 0;
            bool haveHigh = false, comma = false;
            while (j < i && body[j] >= L'0' && body[j] <= L'9')
                low = SaturatingAdd(SaturatingMultiply(low, 10), static_cast<std::size_t>(body[j++] - L'0'));
            if (j < i && body[j] == L',') {
                comma = true;
                ++j;
                while (j < i && body[j] >= L'0' && body[j] <= L'9') {
                    haveHigh = true;
                    high = SaturatingAdd(SaturatingMultiply(high, 10), static_cast<std::size_t>(body[j++] - L'0'));
                }
            }
            const std::size_t copies = comma ? (haveHigh ? (high > low ? high : low) : SaturatingAdd(low, 1)) : low;
            open.back().inside.Add(last.Times(copies));
            open.back().inside.Add(CWeights{0, units, 0, 2, 2});
            last = last.Times(SaturatingAdd(copies, 1));
            break;
        }
        case CToken::Quantifier:
            // A repeat state, no copies; "?" adds an empty state after it.
            // `last` stays the atom, for a quantifier after this one.
            open.back().inside.Add(body[start] == L'?' ? CWeights{0, units, 0, 1, 1} : CWeights{0, units, 0, 0, 0});
            break;
        }
    }

    CWeights total;
    for (const CGroup& group : open)
        total.Add(group.inside);
    total.Add(CWeights{0, 0, 0, 1, 2});
    // An unbalanced body does not compile; its estimate only has to be safe.
    if (unbalanced) {
        total.alternatives = kStateLimit;
        total.units = kStateLimit;
        total.matchers = kStateLimit;
    }
    shape.alternatives = total.alternatives < kStateLimit ? total.alternatives : kStateLimit;
    // Each unit makes at most two states ("|" an alternative and an empty
    // join, a quantifier a repeat and a join, a group its two ends).
    const std::size_t states = SaturatingAdd(SaturatingMultiply(total.units, 2), 4);
    shape.states = states < kStateLimit ? states : kStateLimit;
    shape.matchers = total.matchers < kStateLimit ? total.matchers : kStateLimit;
    // Every empty state may walk a chain made of all the chainable ones.
    shape.compileWork = SaturatingMultiply(total.dummies, total.chained);
    return shape;
}

std::size_t RegexMinimumLength(std::wstring_view body)
{
    std::size_t length = 0;
    int depth = 0;
    for (std::size_t i = 0; i < body.size();) {
        const std::size_t start = i;
        const CToken token = NextToken(body, i);
        if (token == CToken::Open || depth > 0) {
            depth += token == CToken::Open ? 1 : token == CToken::Close ? -1 : 0;
            continue;
        }
        if (token == CToken::Close)
            return 0;  // unbalanced: does not compile
        if (token == CToken::Bar)
            return 0;
        // One character, unless the atom is an assertion or a reference.
        std::size_t width = 1;
        if (token == CToken::Other && (body[start] == L'^' || body[start] == L'$'))
            width = 0;
        else if (token == CToken::Escape &&
                 (i - start < 2 || std::wcschr(L"bB123456789", body[start + 1]) || body[start + 1] == L'\0'))
            width = 0;
        else if (token != CToken::Other && token != CToken::Escape && token != CToken::Class)
            width = 0;
        // "*", "?" and "{" may leave the atom out; "+" keeps one.
        std::size_t next = i;
        if (i < body.size() && (NextToken(body, next) == CToken::Quantifier || body[i] == L'{') && body[i] != L'+')
            width = 0;
        length += width;
    }
    return depth == 0 ? length : 0;
}

bool RegexMatchesEverything(std::wstring_view body)
{
    // Whether the sequence and the alternatives so far in each open group
    // can match the empty string. An atom's answer waits in `atom` until it
    // is known whether a quantifier follows.
    struct CGroup
    {
        bool anyAlternative = false;
        bool sequence = true;
    };
    std::vector<CGroup> open(1);
    enum class CAtom { None, Empty, Character };
    CAtom atom = CAtom::None;
    bool quantified = false;  // the atom has had its quantifier
    auto endAtom = [&] {
        if (atom == CAtom::Character)
            open.back().sequence = false;
        atom = CAtom::None;
        quantified = false;
    };

    for (std::size_t i = 0; i < body.size();) {
        const std::size_t start = i;
        const CToken token = NextToken(body, i);
        switch (token) {
        case CToken::Escape:
            // Assertions and back-references depend on the text; anything
            // else escaped is a character (or a class of them).
            if (i - start < 2 || std::wcschr(L"bB123456789", body[start + 1]) || body[start + 1] == L'\0')
                return false;
            endAtom();
            atom = CAtom::Character;
            break;
        case CToken::Class:
            endAtom();
            atom = CAtom::Character;
            break;
        case CToken::Other:
            if (body[start] == L'^' || body[start] == L'$')
                return false;
            endAtom();
            atom = CAtom::Character;
            break;
        case CToken::Open:
            if (IsLookahead(body, start))
                return false;
            endAtom();
            open.emplace_back();
            break;
        case CToken::Close: {
            endAtom();
            if (open.size() == 1)
                return false;
            const bool empty = open.back().anyAlternative || open.back().sequence;
            open.pop_back();
            atom = empty ? CAtom::Empty : CAtom::Character;
            break;
        }
        case CToken::Bar:
            endAtom();
            open.back().anyAlternative = open.back().anyAlternative || open.back().sequence;
            open.back().sequence = true;
            break;
        case CToken::Quantifier:
            if (atom == CAtom::None)
                return false;  // nothing to repeat: does not compile
            if (quantified) {
                // "?" after a quantifier makes it lazy, which changes no
                // length; anything else does not compile.
                if (body[start] != L'?')
                    return false;
                break;
            }
            quantified = true;
            if (body[start] != L'+')
                atom = CAtom::Empty;
            break;
        case CToken::Brace: {
            if (atom == CAtom::None || quantified)
                return false;
            quantified = true;
            // {0}, {0,} and {0,m} allow no copy at all.
            std::size_t j = start + 1;
            bool digits = false, zero = true;
            while (j < i && body[j] >= L'0' && body[j] <= L'9') {
                digits = true;
                zero = zero && body[j] == L'0';
                ++j;
            }
            if (digits && zero)
                atom = CAtom::Empty;
            break;
        }
        }
    }
    endAtom();
    return open.size() == 1 && (open.back().anyAlternative || open.back().sequence);
}

std::vector<std::wstring> RegexRequiredLiterals(std::wstring_view body)
{
    // An alternative at the top level means no character is required.
    int depth = 0;
    for (std::size_t i = 0; i < body.size();) {
        switch (NextToken(body, i)) {
        case CToken::Open:
            ++depth;
            break;
        case CToken::Close:
            if (--depth < 0)
                return {};
            break;
        case CToken::Bar:
            if (depth == 0)
                return {};
            break;
        default:
            break;
        }
    }
    if (depth != 0)
        return {};

    std::vector<std::wstring> runs;
    std::wstring run;
    auto flush = [&] {
        if (!run.empty())
            runs.push_back(run);
        run.clear();
    };
    for (std::size_t i = 0; i < body.size();) {
        const std::size_t start = i;
        const CToken token = NextToken(body, i);
        if (depth > 0 || token == CToken::Open) {
            // Groups are not looked into; a lookahead consumes nothing, so
            // what follows one is a run of its own.
            depth += token == CToken::Open ? 1 : token == CToken::Close ? -1 : 0;
            flush();
            continue;
        }
        wchar_t literal = L'\0';
        if (token == CToken::Escape && i - start == 2) {
            // Only escaped punctuation stands for itself; letters and digits
            // are classes, assertions, references or codes.
            const wchar_t c = body[start + 1];
            if (c != L'\0' && std::wcschr(L"./-?*+()[]{}|^$\\=&:,;!@#%~'\"<> _`", c))
                literal = c;
        } else if (token == CToken::Other && !std::wcschr(L".^$]}", body[start])) {
            literal = body[start];
        }
        if (literal == L'\0') {
            flush();
            continue;
        }
        // A quantifier after the character: "*", "?" and "{" may leave it
        // out, "+" repeats it; either way the run ends there.
        std::size_t next = i;
        const bool quantified = i < body.size() && (NextToken(body, next) == CToken::Quantifier ||
                                                    body[i] == L'{');
        if (quantified && body[i] != L'+') {
            flush();
            continue;
        }
        run += literal;
        if (quantified)
            flush();
    }
    flush();
    return runs;
}

std::size_t RegexCompileStackNeed(const CRegexShape& shape)
{
    // The automaton matcher compiles the body inside a short prefix and a
    // group; count them too.
    constexpr std::size_t kPrefixUnits = 16;
    return kCompileBase + (shape.length + kPrefixUnits) * kCompilePerUnit + (shape.groups + 1) * kCompilePerGroup;
}

std::size_t RegexSearchStackReserve(const CRegexShape& shape)
{
    return kUnwindReserve + shape.alternatives * kAlternativeFrame;
}

std::size_t RemainingStack()
{
    return StackAbove(StackFloor());
}

CCompiledRegex::CCompiledRegex(std::wstring_view body, CRegexMatcher matcher) : m_impl(std::make_unique<CImpl>())
{
    CImpl& impl = *m_impl;
    impl.body.assign(body);
    impl.matcher = matcher;
    impl.shape = MeasureRegexShape(body);
    impl.minimumLength = RegexMinimumLength(body);
    impl.matchesEverything = matcher == CRegexMatcher::Auto && RegexMatchesEverything(body);
    if (impl.shape.compileWork > kCompileWorkLimit) {
        impl.state = CState::TooComplex;
        return;
    }
    const std::size_t need = SaturatingAdd(RegexCompileStackNeed(impl.shape), kUnwindReserve);
    auto compile = [&] {
        if (RemainingStack() < need) {
            impl.state = CState::TooComplex;
            return;
        }
        try {
            impl.backtracking.assign(impl.body.data(), impl.body.size(), rc::ECMAScript);
        } catch (const std::regex_error&) {
            impl.state = CState::Invalid;
        }
    };
    if (RemainingStack() >= need) {
        compile();
    } else {
        impl.compiledOnWorker = true;
        if (!RunOnWorkerStack(compile))
            impl.state = CState::TooComplex;
    }
    // Every lookahead being evaluated holds a matcher with arrays as large
    // as the automaton; nested ones are alive at once.
    const CRegexShape& shape = impl.shape;
    if (impl.state == CState::Ready && shape.lookaheads &&
        SaturatingMultiply(SaturatingMultiply(shape.lookaheads + 1, SaturatingAdd(shape.states, shape.captures + 3)),
                           kLookaheadBytesPerState) > kLookaheadMemoryLimit)
        impl.state = CState::TooComplex;
}

CCompiledRegex::~CCompiledRegex() = default;

bool CCompiledRegex::Search(std::wstring_view text, CRegexSearchReport* report) const
{
    CRegexSearchReport local;
    CRegexSearchReport& out = report ? *report : local;
    out = CRegexSearchReport{};
    out.worker = m_impl->compiledOnWorker;
    if (text.size() < m_impl->minimumLength) {
        out.unsearched = true;
        return false;
    }
    // A body that matches the empty string without any assertion matches at
    // the start of every text: the matchers would only find that out after
    // walking the whole automaton (thousands of optional terms can take
    // milliseconds and a worker's stack).
    if (m_impl->matchesEverything && m_impl->state == CState::Ready) {
        out.unsearched = true;
        return true;
    }

    COutcome outcome = m_impl->SearchHere(text, false, out);
    if (outcome == COutcome::NeedsStack) {
        out.worker = true;
        outcome = COutcome::TooComplex;
        auto work = [&] {
            CRegexSearchReport workerReport;
            outcome = m_impl->SearchHere(text, true, workerReport);
            out.automaton = workerReport.automaton;
        };
        RunOnWorkerStack(work);
    }
    out.tooComplex = outcome == COutcome::TooComplex;
    return outcome == COutcome::Match;
}

bool SearchRegex(std::wstring_view body, std::wstring_view text, CRegexSearchReport* report, CRegexMatcher matcher)
{
    // A text too short for any match needs no compilation.
    if (text.size() < RegexMinimumLength(body)) {
        if (report) {
            *report = CRegexSearchReport{};
            report->unsearched = true;
        }
        return false;
    }
    return CCompiledRegex(body, matcher).Search(text, report);
}

int CheckRegexSyntax(std::wstring_view body)
{
    const CRegexShape shape = MeasureRegexShape(body);
    if (shape.compileWork > kCompileWorkLimit)
        return rc::error_complexity;
    const std::size_t need = SaturatingAdd(RegexCompileStackNeed(shape), kUnwindReserve);
    int result = rc::error_complexity;
    auto compile = [&] {
        if (RemainingStack() < need)
            return;
        try {
            std::wregex re(body.data(), body.size(), rc::ECMAScript);
            result = -1;
        } catch (const std::regex_error& e) {
            result = e.code();
        }
    };
    if (RemainingStack() >= need)
        compile();
    else
        RunOnWorkerStack(compile);
    return result;
}
