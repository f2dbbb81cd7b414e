#pragma once
// The full path of the running program's file.

#include <string>

namespace kestran {

// The program's full path; empty (and the thread's last error set) when the system
// cannot tell it.
std::string ProgramPath();

}  // namespace kestran
