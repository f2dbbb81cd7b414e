#pragma once
// The optional debug log "Smtp.Txt" in the queue directory: one line per reply, prefixed
// with the local date and time. Appends from all sessions are serialised; a line that
// cannot be written is lost and the session goes on.

#include <string>

namespace kestran {

// "mm/dd/yy hh:nn:ss": the short date and long time of the C library's default format.
std::string DebugLogTimePrefix();

// Appends DebugLogTimePrefix() + " " + text + CR LF to QueueDirPrefix(dir) + "Smtp.Txt".
void AppendDebugLog(const std::string& dir, const std::string& text);

}  // namespace kestran
