#include "platform/params.h"

#include "platform/strutil.h"

namespace platform {

long TParams::find(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (AnsiSameText(items_[i].first, name)) return static_cast<long>(i);
  return -1;
}

std::string TParams::value(std::string_view name) const {
  long i = find(name);
  return i < 0 ? std::string() : items_[static_cast<size_t>(i)].second;
}

bool TParams::has(std::string_view name) const { return find(name) >= 0; }

void TParams::setValue(std::string_view name, std::string_view value) {
  long i = find(name);
  if (value.empty()) {
    if (i >= 0) items_.erase(items_.begin() + i);
    return;
  }
  if (i >= 0) items_[static_cast<size_t>(i)].second = std::string(value);
  else items_.emplace_back(std::string(name), std::string(value));
}

void TParams::remove(std::string_view name) {
  long i = find(name);
  if (i >= 0) items_.erase(items_.begin() + i);
}

void TParams::addLine(std::string_view line) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) items_.emplace_back(std::string(line), std::string());
  else items_.emplace_back(std::string(line.substr(0, eq)), std::string(line.substr(eq + 1)));
}

}  // namespace platform
