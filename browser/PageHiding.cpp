#include "browser/PageHiding.h"

#include <string>
#include <vector>

#include "com/Error.h"
#include "storage/AdblockListStore.h"

std::shared_ptr<const CElementHiding> CPageHiding::Current() noexcept
{
    std::shared_ptr<const CAdblockListStore::CLoaded> loaded = m_lists.GetCurrent();
    if (!loaded)
        return nullptr;
    CCritSecLock hold(m_lock);
    if (loaded->generation == m_generation)
        return m_hiding;
    // Every tab waits here for the one read of a new generation: they would
    // need its rules anyway.
    m_hiding.reset();
    m_generation = loaded->generation;
    try {
        std::vector<std::string> texts;
        for (const CAdblockListEntry& entry : loaded->catalog.lists) {
            if (!entry.enabled)
                continue;
            texts.push_back(m_lists.ReadText(entry));
        }
        if (texts.empty())
            return nullptr;
        std::vector<CHidingListText> lists;
        for (const std::string& text : texts)
            lists.push_back({std::string_view(), text});
        m_hiding = std::make_shared<const CElementHiding>(lists);
    } catch (...) {
        TraceCurrentException("element hiding left out for this generation of the lists");
    }
    return m_hiding;
}

std::shared_ptr<const CHidingStyle> CPageHiding::StyleFor(std::string_view host, CCssLevel level) noexcept
{
    std::shared_ptr<const CElementHiding> hiding = Current();
    if (!hiding)
        return nullptr;
    try {
        std::shared_ptr<const CHidingStyle> style = hiding->StyleFor(host, level);
        return style && style->rules ? style : nullptr;
    } catch (...) {
        TraceCurrentException("no element hiding for this page");
        return nullptr;
    }
}

CPageHiding* TryGetPageHiding() noexcept
{
    try {
        // Lives as long as the store it reads, which is the process's.
        static CPageHiding hiding(GetAdblockListStore());
        return &hiding;
    } catch (...) {
        TraceCurrentException("Adblock lists not opened");
        return nullptr;
    }
}

std::string HostOfPageUrl(std::wstring_view url)
{
    std::size_t scheme = url.find(L"://");
    if (scheme == std::wstring_view::npos)
        return std::string();
    std::wstring_view name = url.substr(0, scheme);
    auto same = [](std::wstring_view a, std::wstring_view b) {
        if (a.size() != b.size())
            return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (towlower(a[i]) != b[i])
                return false;
        }
        return true;
    };
    if (!same(name, L"http") && !same(name, L"https"))
        return std::string();
    std::wstring_view authority = url.substr(scheme + 3);
    authority = authority.substr(0, authority.find_first_of(L"/?#\\"));
    std::size_t at = authority.rfind(L'@');
    if (at != std::wstring_view::npos)
        authority.remove_prefix(at + 1);
    authority = authority.substr(0, authority.find(L':'));
    std::string host;
    for (wchar_t c : authority) {
        // Host names that are not ASCII reach us punycoded or not at all:
        // anything else matches no rule's site.
        if (c > 0x7F)
            return std::string();
        host += static_cast<char>(towlower(c));
    }
    return host;
}
