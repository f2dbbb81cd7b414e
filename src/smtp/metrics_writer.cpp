#include "smtp/metrics_writer.h"

#include <cstdio>

namespace kestran {

void TMetricsWriter::Family(const char* name, const char* type, const char* help) {
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  text_ += help;
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += type;
  text_ += '\n';
}

void TMetricsWriter::Sample(const std::string& name, const std::string& labels,
                            const std::string& value) {
  text_ += name;
  if (!labels.empty()) text_ += "{" + labels + "}";
  text_ += ' ';
  text_ += value;
  text_ += '\n';
}

void TMetricsWriter::Sample(const std::string& name, const std::string& labels, uint64_t value) {
  Sample(name, labels, std::to_string(value));
}

void TMetricsWriter::Single(const char* name, const char* type, const char* help, uint64_t value) {
  Family(name, type, help);
  Sample(name, "", value);
}

void TMetricsWriter::Histogram(const char* name, const char* help,
                               const std::vector<double>& bounds,
                               const std::vector<uint64_t>& counts, double sum) {
  Family(name, "histogram", help);
  const std::string bucket = std::string(name) + "_bucket";
  uint64_t cumulative = 0;
  for (size_t i = 0; i < bounds.size(); ++i) {
    cumulative += i < counts.size() ? counts[i] : 0;
    Sample(bucket, MetricLabel("le", MetricNumber(bounds[i])), cumulative);
  }
  cumulative += bounds.size() < counts.size() ? counts[bounds.size()] : 0;
  Sample(bucket, MetricLabel("le", "+Inf"), cumulative);
  Sample(std::string(name) + "_sum", "", MetricNumber(sum));
  Sample(std::string(name) + "_count", "", cumulative);
}

std::string MetricNumber(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

std::string MetricLabel(const char* name, const std::string& value) {
  return std::string(name) + "=\"" + EscapeLabelValue(value) + "\"";
}

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace kestran
