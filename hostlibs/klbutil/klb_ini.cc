#include "klbutil/klb_ini.h"

#include "klbutil/klb_string.h"

namespace klb {
namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string Folded(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) c = Lower(c);
  return folded;
}

}  // namespace

ini_t::ini_t() = default;
ini_t::ini_t(const ini_t&) = default;
ini_t& ini_t::operator=(const ini_t&) = default;
ini_t::~ini_t() = default;

ini_t::Section* ini_t::find(std::string_view key) {
  const auto it = key_index_.find(Folded(key));
  return it != key_index_.end() ? &keys_[it->second] : nullptr;
}

const ini_t::Section* ini_t::find(std::string_view key) const {
  const auto it = key_index_.find(Folded(key));
  return it != key_index_.end() ? &keys_[it->second] : nullptr;
}

std::size_t ini_t::add_key(std::string_view key) {
  const auto [it, added] = key_index_.emplace(Folded(key), keys_.size());
  if (added) keys_.push_back(Section{std::string(key), {}, {}, {}});
  return it->second;
}

bool ini_t::has_key(std::string_view key) const {
  return find(key) != nullptr;
}

std::string ini_t::key_name(std::size_t index) const {
  return index < keys_.size() ? keys_[index].name : std::string();
}

void ini_t::set_value(std::string_view key, std::string_view name, std::string_view value) {
  Section& section = keys_[add_key(key)];
  const auto [it, added] = section.index.emplace(Folded(name), section.values.size());
  if (added) {
    section.values.emplace_back(std::string(name), std::string(value));
  } else {
    section.values[it->second].second = value;
  }
}

const std::string* ini_t::find_value(std::string_view key, std::string_view name) const {
  const Section* section = find(key);
  if (section == nullptr) return nullptr;
  const auto it = section->index.find(Folded(name));
  return it != section->index.end() ? &section->values[it->second].second : nullptr;
}

bool ini_t::has_value(std::string_view key, std::string_view name) const {
  return find_value(key, name) != nullptr;
}

std::string ini_t::read_string(std::string_view key, std::string_view name,
                               std::string_view default_value) const {
  const std::string* value = find_value(key, name);
  return value != nullptr ? *value : std::string(default_value);
}

bool ini_t::read_bool(std::string_view key, std::string_view name, bool default_value) const {
  const std::string* stored = find_value(key, name);
  if (stored == nullptr) return default_value;
  std::string text = *stored;
  trim(text);
  for (const char* word : {"true", "yes", "on"}) {
    if (EqualNoCase(text, word)) return true;
  }
  for (const char* word : {"false", "no", "off"}) {
    if (EqualNoCase(text, word)) return false;
  }
  if (text.empty()) return default_value;
  std::size_t pos = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (pos == text.size()) return default_value;
  bool non_zero = false;
  for (; pos < text.size(); ++pos) {
    if (text[pos] < '0' || text[pos] > '9') return default_value;
    non_zero = non_zero || text[pos] != '0';
  }
  return non_zero;
}

std::vector<std::pair<std::string, std::string>> ini_t::values(std::string_view key) const {
  const Section* section = find(key);
  return section != nullptr ? section->values : std::vector<std::pair<std::string, std::string>>();
}

void ini_t::header_comment(std::string_view comment) {
  header_comments_.emplace_back(comment);
}

void ini_t::key_comment(std::string_view key, std::string_view comment) {
  keys_[add_key(key)].comments.emplace_back(comment);
}

std::vector<std::string> ini_t::key_comments(std::string_view key) const {
  const Section* section = find(key);
  return section != nullptr ? section->comments : std::vector<std::string>();
}

void ini_t::clear() {
  keys_.clear();
  key_index_.clear();
  header_comments_.clear();
}

}  // namespace klb
