#pragma once
// Ambulance packages for the tests: the builders of tools/SmpPackage.h.
#include "tools/SmpPackage.h"

namespace smptest {
using namespace demodata::smp;
}  // namespace smptest
