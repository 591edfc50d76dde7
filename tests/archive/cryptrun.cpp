#include "cryptrun.h"

namespace ziptest {

Outcome ExtractWith(const std::string& archive, const std::string& out, std::vector<std::string> passwords,
                    const std::function<void(arc::TUnZip&)>& tune) {
  Outcome r;
  arc::TUnZip z;
  z.OnError = [&](arc::TUnBase&, const std::string&, const std::string&, const std::string&, int32_t c) {
    r.codes.push_back(c);
  };
  z.OnEnd = [&](arc::TUnBase&, const std::string& f, bool pass) { r.ends.emplace_back(f, pass); };
  z.SetArchiveFile(archive);
  z.SetExtractDir(out);
  z.FileSpec = {"*.*"};
  z.Passwords = std::move(passwords);
  if (tune) tune(z);
  r.extracted = z.Extract();
  return r;
}

}  // namespace ziptest
