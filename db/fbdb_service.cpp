// The backup service through the engine's service manager.
#include <cstring>

#include "db/fbdb_internal.h"
#include "platform/codepage.h"

using namespace Firebird;

namespace fbdb {

using detail::Status;
using detail::Xpb;

BackupService::~BackupService() {
  try {
    detach();
  } catch (...) {
  }
}

void BackupService::attach(std::string_view host, std::string_view user, std::string_view password) {
  detach();
  Xpb spb(IXpbBuilder::SPB_ATTACH);
  if (!user.empty()) spb.str(isc_spb_user_name, user);
  if (!password.empty()) spb.str(isc_spb_password, password);
  std::string name = ServiceManagerName(host);
  Status st;
  IService* s = detail::Provider()->attachServiceManager(&st, name.c_str(), spb.length(), spb.buffer());
  st.check();
  svc_ = s;
}

void BackupService::startBackup(std::string_view dbName, std::string_view file, bool verbose) {
  if (!svc_) throw EDatabaseError("Service is not attached");
  Xpb spb(IXpbBuilder::SPB_START);
  spb.tag(isc_action_svc_backup);
  // File names go in the file system's encoding (UTF-8 on this platform).
  spb.str(isc_spb_dbname, platform::Cp1251ToUtf8(dbName));
  spb.str(isc_spb_bkp_file, platform::Cp1251ToUtf8(file));
  if (verbose) spb.tag(isc_spb_verbose);
  Status st;
  svc_->start(&st, spb.length(), spb.buffer());
  st.check();
}

bool BackupService::nextLine(std::string& line) {
  line.clear();
  if (!svc_) throw EDatabaseError("Service is not attached");
  const unsigned char items[] = {isc_info_svc_line};
  unsigned char buf[8192];
  for (;;) {
    std::memset(buf, 0, sizeof(buf));
    Status st;
    svc_->query(&st, 0, nullptr, sizeof(items), items, sizeof(buf), buf);
    st.check();
    const unsigned char* p = buf;
    const unsigned char* end = buf + sizeof(buf);
    bool gotLine = false;
    bool timedOut = false;
    while (p < end && *p != isc_info_end) {
      unsigned char tag = *p++;
      if (tag == isc_info_svc_line) {
        if (end - p < 2) throw EDatabaseError("Malformed service reply");
        unsigned len = static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8);
        p += 2;
        if (len > static_cast<unsigned>(end - p)) throw EDatabaseError("Malformed service reply");
        if (len == 0) return false;  // end of the output
        line.assign(reinterpret_cast<const char*>(p), len);
        p += len;
        gotLine = true;
      } else if (tag == isc_info_svc_timeout || tag == isc_info_data_not_ready) {
        timedOut = true;
      } else if (tag == isc_info_truncated) {
        gotLine = !line.empty();
        break;
      } else {
        break;  // unknown item: stop reading this reply
      }
    }
    if (gotLine) return true;
    if (!timedOut) return false;
  }
}

void BackupService::detach() {
  if (!svc_) return;
  Status st;
  svc_->detach(&st);
  if (st.failed()) svc_->release();
  svc_ = nullptr;
}

}  // namespace fbdb
