// Shell commands run by the tests, and the command-line tool under test.
#pragma once

#include <string>
#include <vector>

namespace testutil {

// The text in single quotes for the shell, single quotes inside it escaped.
std::string ShellQuote(const std::string& s);

// Runs a shell command; returns its standard output and sets its exit status (-1 when it
// could not be run or did not exit).
std::string RunCommand(const std::string& cmd, int* status);

// Runs `orbivue-cli ARGS...` in a UTF-8 locale, each argument quoted, its errors discarded;
// `env` (NAME=VALUE words, already quoted) is put before it. Returns its standard output.
std::string RunCli(const std::vector<std::string>& args, int* status, const std::string& env = {});

}  // namespace testutil
