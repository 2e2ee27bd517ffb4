#include "browser/AllowedFrames.h"

#include <algorithm>

#include "verdict/RequestVerdict.h"

namespace {

// Longer than any URL the browser navigates to (2083 characters in IE 7
// and 8): such a "frame" was never shown.
constexpr std::size_t kMaxUrlLength = 4096;

std::wstring_view WithoutFragment(std::wstring_view url) noexcept
{
    return url.substr(0, url.find(L'#'));
}

CAllowedFrames g_allowedFrames(kAllowedFramesCapacity);

}  // namespace

void CAllowedFrames::Remember(const void* owner, std::wstring_view frameUrl)
{
    frameUrl = WithoutFragment(frameUrl);
    if (frameUrl.empty() || frameUrl.size() > kMaxUrlLength || m_capacity == 0)
        return;
    // Built before the lock: the request filter's threads wait for it.
    CEntry entry{owner, std::wstring(frameUrl)};
    CCritSecLock hold(m_lock);
    auto same = std::find_if(m_entries.begin(), m_entries.end(),
                             [&](const CEntry& e) { return e.owner == owner && e.url == entry.url; });
    if (same != m_entries.end())
        m_entries.erase(same);
    else if (m_entries.size() >= m_capacity)
        m_entries.pop_front();
    m_entries.push_back(std::move(entry));
}

void CAllowedFrames::Forget(const void* owner) noexcept
{
    CCritSecLock hold(m_lock);
    m_entries.erase(std::remove_if(m_entries.begin(), m_entries.end(), [&](const CEntry& e) { return e.owner == owner; }),
                    m_entries.end());
}

bool CAllowedFrames::Contains(std::wstring_view url) const noexcept
{
    url = WithoutFragment(url);
    if (url.empty())
        return false;
    CCritSecLock hold(m_lock);
    return std::any_of(m_entries.begin(), m_entries.end(), [&](const CEntry& e) { return e.url == url; });
}

CAllowedFrames& GetAllowedFrames() noexcept
{
    return g_allowedFrames;
}

bool IsPageShownOnAllowedSite(const wchar_t* pageUrl) noexcept
{
    if (!pageUrl || !*pageUrl)
        return false;
    return g_allowedFrames.Contains(pageUrl) || IsPageOfAllowedSite(pageUrl);
}
