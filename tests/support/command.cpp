#include "support/command.h"

#include <sys/wait.h>

#include <cstdio>

namespace testutil {

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string RunCommand(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    size_t n;
    while (p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int st = p ? pclose(p) : -1;
    *status = st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::string RunCli(const std::vector<std::string>& args, int* status, const std::string& env) {
    std::string cmd = env.empty() ? std::string() : env + " ";
    cmd += std::string("LC_ALL=C.UTF-8 ") + ORBIVUE_CLI;
    for (const std::string& a : args) cmd += " " + ShellQuote(a);
    return RunCommand(cmd + " 2>/dev/null", status);
}

}  // namespace testutil
