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

#include "engine/RegexScan.h"
#include "engine/RegexWorker.h"

using namespace regex_scan;

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

    // Starts a search: a fresh step budget and deadline, no later than
    // `bound`'s.
    void Arm(long budget, const CRegexTimeBound* bound) noexcept
    {
        m_budget = budget;
        m_deadline = GetTickCount() + kDeadlineMs;
        if (bound && static_cast<LONG>(bound->GetDeadline() - m_deadline) < 0)
            m_deadline = bound->GetDeadline();
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
    COutcome SearchHere(std::wstring_view text, bool onWorker, CRegexSearchReport& report,
                        const CRegexTimeBound* bound) const
    {
        const COutcome outOfStack = onWorker ? COutcome::TooComplex : COutcome::NeedsStack;
        if (state == CState::Invalid)
            return COutcome::NoMatch;
        if (state == CState::TooComplex || (bound && bound->IsSpent()))
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
            guard.Arm(alone ? kAutomatonBudget : kBacktrackBudget, bound);
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
        guard.Arm(kAutomatonBudget, bound);
        try {
            return RunSearch(*re, text, guard, onePass ? rc::match_continuous : rc::match_default) ? COutcome::Match
                                                                                                : COutcome::NoMatch;
        } catch (const std::regex_error&) {
            return guard.Tripped() == CTrip::Stack ? outOfStack : COutcome::TooComplex;
        }
    }
};


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

bool CCompiledRegex::Search(std::wstring_view text, CRegexSearchReport* report, const CRegexTimeBound* bound) const
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

    COutcome outcome = m_impl->SearchHere(text, false, out, bound);
    if (outcome == COutcome::NeedsStack) {
        out.worker = true;
        outcome = COutcome::TooComplex;
        auto work = [&] {
            CRegexSearchReport workerReport;
            outcome = m_impl->SearchHere(text, true, workerReport, bound);
            out.automaton = workerReport.automaton;
        };
        RunOnWorkerStack(work);
    }
    out.tooComplex = outcome == COutcome::TooComplex;
    return outcome == COutcome::Match;
}

bool SearchRegex(std::wstring_view body, std::wstring_view text, CRegexSearchReport* report, CRegexMatcher matcher,
                 const CRegexTimeBound* bound)
{
    // A text too short for any match needs no compilation, nor does a search
    // whose bound is spent.
    const bool spent = bound && bound->IsSpent();
    if (spent || text.size() < RegexMinimumLength(body)) {
        if (report) {
            *report = CRegexSearchReport{};
            report->unsearched = !spent;
            report->tooComplex = spent;
        }
        return false;
    }
    return CCompiledRegex(body, matcher).Search(text, report, bound);
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
