#pragma once
// The persistent message-number counter LastMsgId.

#include <cstdint>
#include <optional>
#include <string>

namespace kestran {

// The next message number: the own key's LastMsgId + 1 (continuing the host's LastMsgId
// while the own value does not exist), stored back as REG_DWORD. 0 when no key could be
// opened (nothing is stored then). Serialised by MsgIdLock between threads and by the
// registry's file lock between processes, so no two callers anywhere draw the same
// number. Threads that ask while another thread's draw is being stored are served
// together by the next draw: one registry change hands out a run of consecutive numbers,
// in the order the callers arrived, and stores the last of them. Raises ERegistryException for a
// malformed LastMsgId ("Invalid data type for 'LastMsgId'", "Failed to get data for 'LastMsgId'")
// or a failed write ("Failed to set data for 'LastMsgId'"), and ERegistryFile for a registry file
// that does not parse. Takes MsgIdLock before the registry's transaction: never call it while this
// thread holds a TRegTransaction.
int32_t NextMessageId();

// Message numbers run from 1 to kLastMessageNumber, the largest that the ten digits of a
// queue file's name hold. The number after it is 1 again (so is the number after a
// LastMsgId stored past it, 0x80000000 to 0xffffffff); inside the range LastMsgId + 1
// is the next number, as always.
inline constexpr uint32_t kLastMessageNumber = 0x7fffffff;

// The same; wrappedAfter receives the LastMsgId after which numbering started again at
// 1 when this caller's number is that 1, and is empty otherwise.
int32_t NextMessageId(std::optional<uint32_t>& wrappedAfter);

// Reads LastMsgId where the next draw will read it (the own key, else the host's), without
// storing anything, so that a value of the wrong type stops the start: raises the
// ERegistryException the draw would raise.
void CheckMessageCounter();

// Why NextMessageId gives 0 now, for the event log: the registry cannot be written, or no
// key holds a counter to continue.
std::string NoMessageIdReason();

}  // namespace kestran
