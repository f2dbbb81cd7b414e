#pragma once
// The exception family of the transport.

#include <cstdint>
#include <string>
#include <utility>

#include "platform/exception.h"

namespace kestran {

KESTRAN_ERROR_CLASS(EConduitException, Exception);

// A failed socket call: the message is TranslateErrorMsg(code); ErrorCode() the code.
class EConduitSocketError : public EConduitException {
 public:
  EConduitSocketError(std::string message, int32_t code)
      : EConduitException(std::move(message)), code_(code) {}
  int32_t ErrorCode() const noexcept { return code_; }
  const char* ClassName() const noexcept override { return "EConduitSocketError"; }
  [[noreturn]] void RaiseWithMessage(std::string message) const override {
    EConduitSocketError copy(*this);
    copy.SetMessage(std::move(message));
    throw copy;
  }

 private:
  int32_t code_;
};

KESTRAN_ERROR_CLASS(EConduitResponseError, EConduitException);
KESTRAN_ERROR_CLASS(EConduitClosedSocket, EConduitException);
KESTRAN_ERROR_CLASS(EConduitInvalidSocket, EConduitException);
// Base of the exceptions that mark a normal end.
KESTRAN_ERROR_CLASS(EConduitSilentException, EConduitException);
KESTRAN_ERROR_CLASS(EConduitConnClosedGraceful, EConduitSilentException);

}  // namespace kestran
