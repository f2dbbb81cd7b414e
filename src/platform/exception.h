#pragma once
// Base of every error class of the program. Each class names itself, so that the
// service host can report "<class> raised ..." and an unhandled error can be printed
// with its class.

#include <exception>
#include <string>
#include <utility>

namespace kestran {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  virtual const char* ClassName() const noexcept { return "Exception"; }
  // Raises a copy of this error (same class, same extra fields) with another message.
  [[noreturn]] virtual void RaiseWithMessage(std::string message) const {
    Exception copy(*this);
    copy.message_ = std::move(message);
    throw copy;
  }

 protected:
  void SetMessage(std::string message) { message_ = std::move(message); }

 private:
  std::string message_;
};

}  // namespace kestran

// Declares an error class Name derived from Base that keeps Base's constructors.
#define KESTRAN_ERROR_CLASS(Name, Base)                                 \
  class Name : public Base {                                            \
   public:                                                              \
    using Base::Base;                                                   \
    const char* ClassName() const noexcept override { return #Name; }   \
    [[noreturn]] void RaiseWithMessage(std::string message) const override { \
      Name copy(*this);                                                 \
      copy.SetMessage(std::move(message));                              \
      throw copy;                                                       \
    }                                                                   \
  }
