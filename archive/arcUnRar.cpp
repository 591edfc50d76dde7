#include "archive/arcUnRar.h"

namespace arc {

void TUnRar::ExtractIt(ByteSource*) {
  const TArcType t = ArcType();
  if (t != TArcType::atRar && t != TArcType::atRarExe) {
    DoError(run_.arcPath, "", run_.arcPath, E_InvalidArcType);
    return;
  }
  // A missing library is reported, not raised: only a full disk leaves Extract.
  if (!reader_ || !reader_(*this, Absolute(run_.arcPath))) DoError(run_.arcPath, "", run_.arcPath, E_UnrarMissing);
}

}  // namespace arc
