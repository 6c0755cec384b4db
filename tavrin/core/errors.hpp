// The exception family of tavrin, one type per kind of fault. Messages name the bad
// parameter, key, column, row or offset, and quote at most a short piece of the input.
//
//   try { tavrin::literal_eval("[1,"); } catch (const tavrin::SyntaxError& e) { ... }
#pragma once

#include <stdexcept>

namespace tavrin {

/// A value of the wrong kind: a parameter that must be a mapping got a list, and so on.
class TypeError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// A value of the right kind that cannot be used: a bad number, a corrupt file, a bad text.
class ValueError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// A text that is not a well-formed expression of the grammar being parsed.
class SyntaxError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

/// A key or column that is not there.
class KeyError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

/// A position outside a sequence.
class IndexError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

}  // namespace tavrin
