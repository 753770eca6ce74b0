#pragma once

#include <string>
#include <vector>

// The "render" command: a photo drawn by the renderer into a window and saved
// as PNG. Returns the process exit status.
int RunRender(const std::vector<std::string>& args);
