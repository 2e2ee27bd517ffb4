#pragma once
// Compiling and searching regular-expression filter bodies (std::wregex,
// ECMAScript grammar, case-sensitive) under hard limits.
//
// libstdc++'s regex compiler is recursive descent and its default matcher
// backtracks by recursion, one level per character consumed; it has no
// complexity limit. A stored body of up to 65535 units or a URL of 2083
// characters could therefore overflow the caller's stack or run practically
// forever. Here:
//  - a body whose compilation would take too long is not compiled;
//  - before compiling, the stack the compiler and the matcher's unchecked
//    recursion can need is estimated from the body and compared with what
//    is left of the calling thread's stack; when it does not fit, the work
//    moves to a worker thread with a large reserved stack (rare: long or
//    deeply nested bodies only);
//  - the search runs over guarded iterators: every iterator operation counts
//    against a step budget, checks the stack depth against a floor and, every
//    few steps, a deadline, and throws std::regex_error to stop the matcher;
//  - the backtracking matcher runs first (fastest for ordinary expressions);
//    when it exhausts its budget or the stack, the same expression is run by
//    libstdc++'s automaton matcher (regex_constants::__polynomial), whose
//    recursion does not grow with the URL and whose time is polynomial;
//  - what still cannot complete within the limits is "too complex": no match.
//
// All functions may be called from any thread (not from DllMain: they may
// start a worker thread and wait for it); nothing is shared.

#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// How a search was answered, for tests and measurements.
struct CRegexSearchReport
{
    bool automaton = false;   // the automaton matcher gave the answer
    bool worker = false;      // the work ran on a worker thread's large stack
    bool tooComplex = false;  // no answer within the limits (reported as no match)
    bool unsearched = false;  // answered from the body's form alone, no matcher ran
};

// A bound on the time that several searches take together, such as those of
// one URL verdict (each search also keeps its own limits). A search given a
// bound that is spent does not run and answers as one too complex: no match.
// Any thread may share one.
class CRegexTimeBound
{
public:
    explicit CRegexTimeBound(DWORD milliseconds) noexcept : m_deadline(GetTickCount() + milliseconds) {}
    bool IsSpent() const noexcept { return static_cast<LONG>(GetTickCount() - m_deadline) >= 0; }
    DWORD GetDeadline() const noexcept { return m_deadline; }

private:
    DWORD m_deadline;
};

// Which matcher answers. Auto is the product's choice; the others exist to
// compare and measure the two.
enum class CRegexMatcher
{
    Auto,          // backtracking first, the automaton when it gives up
    Backtracking,  // backtracking only, with the larger budget
    Automaton,     // the automaton only (bodies with back-references: too complex)
};

// True when `text` contains a match of `body`. False when the body does not
// compile or the search cannot complete within the limits (or `bound`).
// Compiles the body for this one search, unless `bound` is spent. Throws
// std::bad_alloc.
bool SearchRegex(std::wstring_view body, std::wstring_view text, CRegexSearchReport* report = nullptr,
                 CRegexMatcher matcher = CRegexMatcher::Auto, const CRegexTimeBound* bound = nullptr);

// A body compiled once and searched any number of times, by any number of
// threads at once, with the same limits and answers as SearchRegex. The
// automaton form is compiled by the first search that needs it and then
// shared.
class CCompiledRegex
{
public:
    // Compiles `body`, on a worker thread's large stack when the caller's
    // stack is too small for it. A body that does not compile, or could not
    // be compiled or searched within the limits, is kept as one that never
    // matches. Throws std::bad_alloc.
    explicit CCompiledRegex(std::wstring_view body, CRegexMatcher matcher = CRegexMatcher::Auto);
    ~CCompiledRegex();
    CCompiledRegex(const CCompiledRegex&) = delete;
    CCompiledRegex& operator=(const CCompiledRegex&) = delete;

    // As SearchRegex; `report->worker` also tells of a compilation that
    // needed a worker. Throws std::bad_alloc.
    bool Search(std::wstring_view text, CRegexSearchReport* report = nullptr,
                const CRegexTimeBound* bound = nullptr) const;

private:
    enum class CState;
    struct CImpl;
    std::unique_ptr<CImpl> m_impl;
};

// Compiles `body` and discards it: -1 when it compiles, otherwise the
// std::regex_constants::error_type value of the failure. error_complexity
// (11) when compiling would take too long (tens of thousands of
// alternatives) or cannot be run safely at all. Throws std::bad_alloc.
int CheckRegexSyntax(std::wstring_view body);

// What the estimates are made of; computed by a linear scan of the body
// that splits it as libstdc++'s scanner does. Counts inside a group that
// {n,m} follows are multiplied by its copies.
struct CRegexShape
{
    std::size_t length = 0;        // units in the body
    std::size_t groups = 0;        // "(" of any kind: bounds the compiler's nesting
    std::size_t captures = 0;      // capturing groups
    std::size_t lookaheads = 0;    // "(?=" and "(?!": each can hold a nested matcher
    std::size_t alternatives = 0;  // "|", the states the matchers pass without a check
    std::size_t matchers = 0;      // states that consume a character
    std::size_t states = 0;        // upper bound of the automaton's size
    std::size_t compileWork = 0;   // upper bound of the compiler's quadratic clean-up
    bool backReference = false;    // "\1".."\9" somewhere: may need backtracking
};
CRegexShape MeasureRegexShape(std::wstring_view body);

// Literal runs that every match of `body` contains, in body order: the
// characters outside groups and classes that no quantifier makes optional.
// Empty when the body has an alternative at its top level (or is not well
// formed). Case as written: the search is case-sensitive.
std::vector<std::wstring> RegexRequiredLiterals(std::wstring_view body);

// A length no text shorter than which can hold a match of `body` (0 when
// unknown): counted from the characters outside groups that no quantifier
// makes optional. A search of a shorter text is no match without compiling
// anything.
std::size_t RegexMinimumLength(std::wstring_view body);

// True when `body` certainly matches the empty string and holds no
// assertion, lookahead or back-reference: every text then holds a match (at
// its start), whatever its content. False when unsure.
bool RegexMatchesEverything(std::wstring_view body);

// Bytes of stack that compiling the body may take.
std::size_t RegexCompileStackNeed(const CRegexShape& shape);
// Bytes the matcher may descend between two guarded iterator operations,
// plus what throwing out of it takes.
std::size_t RegexSearchStackReserve(const CRegexShape& shape);

// Bytes of stack left below the caller's frame, down to the floor that is
// kept free for the system's own stack overflow handling.
std::size_t RemainingStack();
