#pragma once
// kestran-reg: reads and edits the registry file with the verbs and switches of the
// Windows registry tool (query, add, delete, import, export).

#include <iosfwd>
#include <string>
#include <vector>

namespace kestran {

// Runs one command (args without the program name); returns the exit status: 0 on
// success, 1 with a one-line message on err otherwise. Questions (overwrite, delete)
// are written to out and answered from in.
int RunRegTool(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
               std::ostream& err);

}  // namespace kestran
