#pragma once
// Text in the Prometheus exposition format (version 0.0.4), as the node exporter's
// textfile collector and the Windows exporter read it: families with their HELP and TYPE
// lines, samples, and histograms. Every line ends in LF.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestran {

class TMetricsWriter {
 public:
  void Family(const char* name, const char* type, const char* help);
  void Sample(const std::string& name, const std::string& labels, const std::string& value);
  void Sample(const std::string& name, const std::string& labels, uint64_t value);
  // A family of one sample without labels.
  void Single(const char* name, const char* type, const char* help, uint64_t value);
  // A histogram from the count of each bucket on its own (not cumulative): one per upper
  // bound, then one for +Inf. The count is the +Inf bucket's cumulative figure, so the two
  // agree even while the counts move.
  void Histogram(const char* name, const char* help, const std::vector<double>& bounds,
                 const std::vector<uint64_t>& counts, double sum);
  std::string& Text() { return text_; }

 private:
  std::string text_;
};

// A sample value as the format writes it ("%.9g").
std::string MetricNumber(double v);
// name="value", the value escaped.
std::string MetricLabel(const char* name, const std::string& value);
// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);

}  // namespace kestran
