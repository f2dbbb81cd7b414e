#include "config/message_id.h"

#include <mutex>

#include "config/receiver_settings.h"
#include "config/registry_access.h"
#include "config/settings_loader.h"

namespace kestran {

int32_t NextMessageId() {
  TRegistry reg;
  std::lock_guard<TCriticalSection> guard(MsgIdLock);
  // Read, increment and write as one change under the registry's cross-process lock.
  TRegTransaction transaction;
  uint32_t n = 0;
  bool found = false;
  if (reg.OpenKey(kOwnKey, false)) {
    if (reg.ValueExists("LastMsgId")) {
      n = static_cast<uint32_t>(reg.ReadInteger("LastMsgId"));
      found = true;
    }
    reg.CloseKey();
  }
  if (!found) {
    if (!reg.OpenKey(kHostKey, false)) return 0;
    if (reg.ValueExists("LastMsgId")) n = static_cast<uint32_t>(reg.ReadInteger("LastMsgId"));
    reg.CloseKey();
  }
  n += 1;
  if (!reg.OpenKey(kOwnKey, true) && !reg.OpenKey(kHostKey, false)) return 0;
  reg.WriteInteger("LastMsgId", static_cast<int32_t>(n));
  reg.CloseKey();
  if (transaction.Commit() != kRegSuccess)
    throw ERegistryException("Failed to set data for 'LastMsgId'");
  return static_cast<int32_t>(n);
}

}  // namespace kestran
