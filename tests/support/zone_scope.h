#pragma once
// Sets TZ for a test and puts the previous value back afterwards (POSIX).

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace kestran::test {

class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    const char* old = std::getenv("TZ");
    if (old != nullptr) saved_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ZoneScope() {
    if (saved_)
      ::setenv("TZ", saved_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }
  ZoneScope(const ZoneScope&) = delete;
  ZoneScope& operator=(const ZoneScope&) = delete;

 private:
  std::optional<std::string> saved_;
};

}  // namespace kestran::test
