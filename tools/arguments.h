// arguments: the values the command-line tool takes from its command line —
// whole numbers in a range, comma-separated lists of them — read strictly,
// and the nearest known option name for a misspelt one.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace arguments {

// A command line that is wrong in itself (exit status 2).
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The accepted values of a whole-number option: lo..hi, and why hi is the
// limit (shown when a value is larger; empty for 2^64 - 1).
struct Range {
  std::uint64_t lo = 0;
  std::uint64_t hi = UINT64_MAX;
  std::string why_hi;
};

// `text` as a number in `range`: one or more decimal digits and nothing
// else (no sign, space, base prefix or exponent). Throws UsageError naming
// the option `--name` and the text otherwise.
std::uint64_t parseCount(const std::string& name, const std::string& text, const Range& range);

// A comma-separated list of such numbers ("16,32,64"), at least one.
std::vector<std::uint64_t> parseCountList(const std::string& name, const std::string& text,
                                          const Range& range);

// The candidate closest to `word` by edit distance when it is close enough
// to be a plausible misspelling (at most 2 edits, fewer than its length),
// or "".
std::string nearest(const std::string& word, const std::vector<std::string>& candidates);

}  // namespace arguments
