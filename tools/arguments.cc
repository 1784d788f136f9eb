#include "arguments.h"

#include <algorithm>

namespace arguments {

namespace {

std::string expected(const Range& r) {
  if (r.hi == UINT64_MAX) {
    return r.lo == 0 ? "a non-negative integer"
                     : "a non-negative integer of at least " + std::to_string(r.lo);
  }
  return "a non-negative integer from " + std::to_string(r.lo) + " to " + std::to_string(r.hi);
}

}  // namespace

std::uint64_t parseCount(const std::string& name, const std::string& text, const Range& range) {
  const std::string flag = "--" + name;
  bool digits = !text.empty();
  for (const char c : text) digits = digits && c >= '0' && c <= '9';
  if (!digits) throw UsageError(flag + " needs " + expected(range) + ", got '" + text + "'");
  std::uint64_t v = 0;
  for (const char c : text) {
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) {
      throw UsageError(flag + " needs " + expected(range) + ", got '" + text +
                       "', which is past 2^64 - 1");
    }
    v = v * 10 + d;
  }
  if (v < range.lo) {
    throw UsageError(flag + " must be at least " + std::to_string(range.lo) + ", got " + text);
  }
  if (v > range.hi) {
    std::string message = flag + " " + std::to_string(v) + " is too large: at most " +
                          std::to_string(range.hi);
    if (!range.why_hi.empty()) message += " (" + range.why_hi + ")";
    throw UsageError(message);
  }
  return v;
}

std::vector<std::uint64_t> parseCountList(const std::string& name, const std::string& text,
                                          const Range& range) {
  std::vector<std::uint64_t> out;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (item.empty()) {
      throw UsageError("--" + name + " needs a comma-separated list, each item " + expected(range) +
                       ", got '" + text + "'");
    }
    out.push_back(parseCount(name, item, range));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

std::string nearest(const std::string& word, const std::vector<std::string>& candidates) {
  std::string best;
  std::size_t best_distance = 3;
  std::vector<std::size_t> row, previous;
  for (const std::string& c : candidates) {
    // Levenshtein distance, one row at a time.
    previous.resize(c.size() + 1);
    row.resize(c.size() + 1);
    for (std::size_t j = 0; j <= c.size(); ++j) previous[j] = j;
    for (std::size_t i = 1; i <= word.size(); ++i) {
      row[0] = i;
      for (std::size_t j = 1; j <= c.size(); ++j) {
        const std::size_t substitute = previous[j - 1] + (word[i - 1] == c[j - 1] ? 0 : 1);
        row[j] = std::min({previous[j] + 1, row[j - 1] + 1, substitute});
      }
      std::swap(row, previous);
    }
    const std::size_t d = previous[c.size()];
    if (d < best_distance && d < word.size()) {
      best_distance = d;
      best = c;
    }
  }
  return best;
}

}  // namespace arguments
