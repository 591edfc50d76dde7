#pragma once
// Compiled wildcard masks ("*", "?", literals; case-insensitive in CP1251) and the
// selection of entry names by FileSpec, ExcludeSpec and RecurseDirs.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace arc {

// Capital form of one CP1251 character (ASCII and Cyrillic letters).
unsigned char UpCase1251(unsigned char c);
std::string UpperCase1251(std::string_view s);

class TInternalMask {
public:
  struct Item {
    bool star = false;   // a star precedes the item
    uint8_t kind = 0;    // 0 literal, 1 any single character
    unsigned char ch = 0;
  };

  TInternalMask() = default;
  explicit TInternalMask(std::string_view mask) { compile(mask); }
  void compile(std::string_view mask);
  // Whole-name match, linear in the name length times the item count.
  bool matches(std::string_view name) const;
  bool endsWithDot() const { return dotFlag_; }
  const std::vector<Item>& items() const { return items_; }

private:
  std::vector<Item> items_;  // the last item is the end marker (ch 0)
  bool dotFlag_ = false;
};

// One-shot match of a mask against a name.
bool MaskMatches(std::string_view mask, std::string_view name);

// Entry selection. Names and masks may use "/" or "\" between folders; a drive prefix of a
// mask is ignored. onExclude fires once when an ExcludeSpec mask hits.
struct EntrySelection {
  std::vector<std::string> fileSpec;
  std::vector<std::string> excludeSpec;
  bool recurseDirs = true;
  std::function<void(const std::string&)> onExclude;
  bool selected(const std::string& name) const;
};

}  // namespace arc
