#pragma once
// The commands of QuellanCtl. Each returns the process exit code and writes
// its results to standard output and its messages to standard error. Store
// and file failures are thrown as CHResultException.

#include <windows.h>

#include <string>
#include <vector>

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;  // something was refused or could not be done
constexpr int kExitUsage = 2;    // the command line itself is wrong

int ListCommand();
int AddCommand(const std::vector<std::wstring>& texts);
int ImportCommand(const std::wstring& path);
int ExportCommand(const std::wstring& path);
// One request to judge: its URL, and optionally the page it belongs to and
// its kind (an Adblock type option name such as "script").
struct CCheckRequest
{
    std::wstring url;
    std::wstring type;  // empty: unknown
    std::wstring page;  // empty: unknown
};
// A line of outside input as a message may show it: control characters
// written as "\xNN", and at most 200 characters of it.
std::wstring Echo(const std::wstring& text);
// The request of one input line of "check -": "URL [TYPE [PAGEURL]]",
// separated by white space; TYPE and PAGEURL default to those of defaults.
// False (with *reason set) for a line of more than three fields.
bool ParseCheckLine(const std::wstring& line, const CCheckRequest& defaults, CCheckRequest* request,
                    std::wstring* reason);
// A request whose type is not an option name is reported as not judgeable.
int CheckCommand(const std::vector<CCheckRequest>& requests, bool explain);
// The lines of `text` (LF or CR LF), empty ones left out.
std::vector<std::wstring> SplitUrlLines(const std::wstring& text);
int ClearCommand();
// No arguments: prints "remove-blocked-items on" or "... off" and
// "filter-https on" or "... off". With
// "remove-blocked-items on|off": sets the option of the browser's settings
// dialog, "Remove blocked items from pages", for the user.
// "filter-https on|off" sets whether the browser filters secure requests.
int OptionCommand(const std::vector<std::wstring>& args);

// The Adblock lists: "lists" prints one line per list (name, source,
// counts); "lists add FILE" stores a list file and prints its counts;
// "lists remove NAME"; "lists on|off NAME" switches a list without removing
// it.
int ListsCommand(const std::vector<std::wstring>& args);

// Sites the user allowed (nothing on their pages is blocked or hidden),
// kept as "@@||host^$document" lines of the user's own Adblock list
// "Allowed sites". SITE is a host name or a URL of the site. Removing a
// site that was not allowed fails; a SITE that names no host is a usage
// error.
int AllowSiteCommand(const std::wstring& site, bool remove);
// Prints the allowed sites, one a line.
int AllowedSitesCommand();

// "reason (0x8007xxxx)" for a failure code, in the system's words.
std::wstring DescribeFailure(HRESULT hr);
