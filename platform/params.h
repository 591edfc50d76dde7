#pragma once
// An ordered name=value list with the platform's Values semantics: names compare
// case-insensitively; assigning replaces the first entry of that name or appends
// one; assigning the empty text deletes the entry.
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

class TParams {
public:
  std::string value(std::string_view name) const;      // empty when absent
  bool has(std::string_view name) const;
  void setValue(std::string_view name, std::string_view value);
  void remove(std::string_view name);
  void clear() { items_.clear(); }
  size_t size() const { return items_.size(); }
  const std::pair<std::string, std::string>& at(size_t i) const { return items_.at(i); }
  // Adds a "name=value" line as it stands (duplicates kept, as a loaded list keeps them).
  void addLine(std::string_view line);
  const std::vector<std::pair<std::string, std::string>>& items() const { return items_; }

private:
  long find(std::string_view name) const;
  std::vector<std::pair<std::string, std::string>> items_;
};

}  // namespace platform
