#pragma once
// Prometheus' own check of a metrics file (promtool from the Debian package prometheus).

#include <string>

namespace kestran::test {

// promtool's objections to the metrics file, "" when it has none. When promtool is not
// installed: an objection in CI (where it must run), else "" with *skipped set (when given).
std::string PromtoolObjections(const std::string& file, bool* skipped = nullptr);

}  // namespace kestran::test
