#pragma once
// The attributes that the Win32 file layer reads of a name, with a hook for tests: a test
// can add attributes (a reparse point, say) to what the system reports for a name, where
// the system under test cannot make one (Wine shows no link as a reparse point).

#include <cstdint>
#include <string>

namespace kestran {

// Receives the native path and the attributes the system reported; returns the ones the
// file layer acts on.
using TFileAttributeHook = uint32_t (*)(const std::string& nativePath, uint32_t attributes);
// nullptr: the system's attributes alone again.
void SetFileAttributeHookForTest(TFileAttributeHook hook);

}  // namespace kestran
