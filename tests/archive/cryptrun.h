#pragma once
// Runs a TUnZip over an archive file and collects what the events reported.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "archive/arcUnZip.h"

namespace ziptest {

struct Outcome {
  int32_t extracted = 0;
  std::vector<int32_t> codes;
  std::vector<std::pair<std::string, bool>> ends;
};

Outcome ExtractWith(const std::string& archive, const std::string& out, std::vector<std::string> passwords,
                    const std::function<void(arc::TUnZip&)>& tune = {});

}  // namespace ziptest
