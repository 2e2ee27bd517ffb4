#pragma once
// The switches of QuellanHost's command line.
//
// The command line is searched for words that follow a "-" or a "/",
// ignoring letter case; a word matches a switch only when the switch is
// followed by a blank, a tab or the end of the line ("/Embeddingx" is not
// "Embedding"). Scanning goes from switch to switch, skipping unknown words;
// the first known switch decides.

enum class HostCommand
{
    None,  // no known switch: exit at once
    RegServer,
    UnregServer,
    Embedding,  // started by COM: serve the Broker class
};

HostCommand ParseHostCommandLine(const wchar_t* commandLine) noexcept;
