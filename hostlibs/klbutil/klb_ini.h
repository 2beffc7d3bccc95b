// klb::ini_t: the utility library's in-memory INI store.
//
// Sections (called "keys" here, as in the library's INI vocabulary) hold
// named values in the order they were first set, plus comments. Section
// and value names compare without regard to ASCII letter case, as Windows
// INI files do; the stored spelling is the first one seen. Setting a value
// that exists replaces it. The store reads nothing by itself: parsers of a
// concrete format derive from it and feed it (see ins_parser_t).
//
// read_bool accepts, without regard to case and after trimming blanks,
// "1"/"0", "true"/"false", "yes"/"no", "on"/"off", and any other decimal
// integer (non-zero is true); anything else answers the default.
//
// Every lookup and insertion takes constant time on average (names are
// indexed by their lower-case form), so feeding a file of n lines is linear.
//
// Thread-safety: none; one thread uses a store at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace klb {

class ini_t {
 public:
  ini_t();
  ini_t(const ini_t&);
  ini_t& operator=(const ini_t&);
  virtual ~ini_t();

  // Adds the section when it is missing; answers its index.
  std::size_t add_key(std::string_view key);
  bool has_key(std::string_view key) const;
  std::size_t key_count() const { return keys_.size(); }
  // Section names in order; empty for an index out of range.
  std::string key_name(std::size_t index) const;

  // Creates the section when it is missing.
  void set_value(std::string_view key, std::string_view name, std::string_view value);
  bool has_value(std::string_view key, std::string_view name) const;
  std::string read_string(std::string_view key, std::string_view name,
                          std::string_view default_value) const;
  bool read_bool(std::string_view key, std::string_view name, bool default_value) const;
  // Values of a section in order; empty when the section is missing.
  std::vector<std::pair<std::string, std::string>> values(std::string_view key) const;

  // A comment before the first section.
  void header_comment(std::string_view comment);
  const std::vector<std::string>& header_comments() const { return header_comments_; }
  // A comment of a section (created when missing).
  void key_comment(std::string_view key, std::string_view comment);
  std::vector<std::string> key_comments(std::string_view key) const;

  void clear();

 private:
  struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;
    std::vector<std::string> comments;
    // Lower-case value name -> index in `values`.
    std::unordered_map<std::string, std::size_t> index;
  };

  Section* find(std::string_view key);
  const Section* find(std::string_view key) const;
  const std::string* find_value(std::string_view key, std::string_view name) const;

  std::vector<Section> keys_;
  // Lower-case section name -> index in `keys_`.
  std::unordered_map<std::string, std::size_t> key_index_;
  std::vector<std::string> header_comments_;
};

}  // namespace klb
