#pragma once
// TUnRar: the RAR extraction component on the common base. The RAR entries themselves are read
// by the outside UnRAR library, which a separate unit loads; until a reader is installed every
// run reports that the library is missing.
#include <functional>

#include "archive/arcBase.h"

namespace arc {

class TUnRar : public TUnBase {
public:
  // The library-backed extraction of one run; returns false when the library is not available.
  using TRarReader = std::function<bool(TUnRar&, const std::string& archive)>;

  explicit TUnRar(Services services = Services::posix()) : TUnBase(std::move(services)) {}
  void SetReader(TRarReader reader) { reader_ = std::move(reader); }

protected:
  void ExtractIt(ByteSource* archive) override;

private:
  TRarReader reader_;
};

}  // namespace arc
