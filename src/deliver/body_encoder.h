#pragma once
// Streams a message in the queue's form (dot-stuffed CR LF lines ended by the line ".")
// to a next hop, a block at a time; the message is never held whole.
//
// Lines are what the receiver stored: CR LF ends a line, and a line may hold a bare CR
// or a bare LF that the client sent. Each bare CR and each bare LF is taken as a line
// end of its own, so no next hop can see a line end (or a message end) that the next hop
// before it did not: for DATA every line end goes out as CR LF, and a line that starts
// after a bare CR or LF with "." gets one more ".", since the client's stuffing never
// covered it. A line that is "." alone before the last line is stuffed too; a "." that
// starts a line after CR LF and is followed by a bare line end was the client's stuffing
// and is taken off (an empty line), so that DATA and sendmail carry the same text.
//   Data:     the lines as DATA (still stuffed), then the terminating ".".
//   Sendmail: un-stuffed (one leading "." taken off each CR LF line), without the
//             terminating line, every line end as LF, as local programs take mail.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kestran {

enum class TBodyMode { Data, Sendmail };

// Where the bytes come from: reads up to size bytes, returns the count, 0 at the end,
// -1 on a failure.
using TBodyReader = std::function<long(char* data, size_t size)>;
// Where they go; false stops the stream.
using TBodyWriter = std::function<bool(const char* data, size_t size)>;

// Streams the message of totalSize bytes (which ends in CR LF "." CR LF) from read to
// write. False when reading or writing failed.
bool EncodeBody(const TBodyReader& read, uint64_t totalSize, TBodyMode mode,
                const TBodyWriter& write);

// The queue's form of a message given as CR LF lines (for a message composed here):
// dot-stuffed, ended by the line ".".
std::string StuffedMessage(const std::string& crlfText);

}  // namespace kestran
