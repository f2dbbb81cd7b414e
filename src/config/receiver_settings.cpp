#include "config/receiver_settings.h"

namespace kestran {

TReceiverSettings ReceiverSettings;
TCriticalSection MsgIdLock;

}  // namespace kestran
