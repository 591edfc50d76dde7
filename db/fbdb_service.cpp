// The backup service through the engine's service manager.
#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "db/fbdb_internal.h"
#include "platform/codepage.h"

using namespace Firebird;

namespace fbdb {

using detail::Status;
using detail::Xpb;

namespace {

// The lines of a service error, each once. The closing line of the backup tool comes in
// the same reply as the error, in a later one or not at all, depending on timing; it
// says nothing more, so it is left out and the text does not depend on timing.
class ServiceErrorText {
public:
  void take(const std::string& text) {
    size_t start = 0;
    for (;;) {
      size_t nl = text.find('\n', start);
      std::string l = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
      if (!l.empty() && l[0] == '-') l.erase(0, 1);
      if (!l.empty() && l != kClosing && std::find(lines_.begin(), lines_.end(), l) == lines_.end())
        lines_.push_back(l);
      if (nl == std::string::npos) break;
      start = nl + 1;
    }
  }
  std::string text() const {
    std::string t;
    for (const std::string& l : lines_) t += (t.empty() ? "" : "\n-") + l;
    return t.empty() ? kClosing : t;
  }

private:
  static constexpr const char* kClosing = "Exiting before completion due to errors";
  std::vector<std::string> lines_;
};

}  // namespace

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
  spb.num(isc_spb_connect_timeout, kConnectTimeout);
  embedded_ = host.empty();
  user_ = std::string(user);
  password_ = std::string(password);
  std::string name = ServiceManagerName(host);
  Status st;
  IService* s = detail::Provider()->attachServiceManager(&st, name.c_str(), spb.length(), spb.buffer());
  st.check();
  svc_ = s;
}

void BackupService::startBackup(std::string_view dbName, std::string_view file, bool verbose) {
  if (!svc_) throw EDatabaseError("Service is not attached");
  if (embedded_ && !guard_) {
    auto g = std::make_unique<Attachment>();
    g->databaseName = std::string(dbName);
    g->params.clear();
    if (!user_.empty()) g->params.setValue("USER_NAME", user_);
    if (!password_.empty()) g->params.setValue("PASSWORD", password_);
    try {
      g->connect();
      guard_ = std::move(g);
    } catch (const EDatabaseError&) {
      // The backup reports the database's own error.
    }
  }
  Xpb spb(IXpbBuilder::SPB_START);
  spb.tag(isc_action_svc_backup);
  // File names go in the file system's encoding (UTF-8 on this platform).
  spb.str(isc_spb_dbname, platform::Cp1251ToUtf8(dbName));
  spb.str(isc_spb_bkp_file, platform::Cp1251ToUtf8(file));
  if (verbose) spb.tag(isc_spb_verbose);
  Status st;
  svc_->start(&st, spb.length(), spb.buffer());
  if (st.failed()) {
    EFbError e = detail::MakeError(st.status());
    ServiceErrorText t;
    t.take(e.what());
    throw EFbError(t.text(), e.gdsCode(), e.sqlCode());
  }
}

namespace {

enum class Reply { Line, End, Error };

// One query for an output line. Error: `err` holds the service's error.
Reply QueryLine(IService* svc, std::string& line, std::optional<EFbError>& err) {
  const unsigned char items[] = {isc_info_svc_line};
  unsigned char buf[8192];
  for (;;) {
    std::memset(buf, 0, sizeof(buf));
    Status st;
    svc->query(&st, 0, nullptr, sizeof(items), items, sizeof(buf), buf);
    if (st.failed()) {
      err.emplace(detail::MakeError(st.status()));
      return Reply::Error;
    }
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
        if (len == 0) return Reply::End;
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
    if (gotLine) return Reply::Line;
    if (!timedOut) return Reply::End;
  }
}

}  // namespace

bool BackupService::nextLine(std::string& line) {
  line.clear();
  if (!svc_) throw EDatabaseError("Service is not attached");
  std::optional<EFbError> err;
  Reply r = QueryLine(svc_, line, err);
  if (r == Reply::Line) return true;
  if (r == Reply::End) return false;
  // An error: the service may report the rest of it with later replies, depending on
  // how far it got. Read to the end of its output and raise all of it at once, so the
  // text does not depend on timing.
  ServiceErrorText lines;
  lines.take(err->what());
  long gds = err->gdsCode();
  int sqlCode = err->sqlCode();
  int errors = 0;
  for (;;) {
    std::string ignored;
    std::optional<EFbError> more;
    Reply m = QueryLine(svc_, ignored, more);
    if (m == Reply::End) break;
    if (m == Reply::Error) {
      lines.take(more->what());
      // A service that keeps failing without ending its output: give up after a while.
      if (++errors > 100) break;
    }
  }
  throw EFbError(lines.text(), gds, sqlCode);
}

void BackupService::detach() {
  if (svc_) {
    Status st;
    svc_->detach(&st);
    if (st.failed()) svc_->release();
    svc_ = nullptr;
  }
  if (guard_) {
    try {
      guard_->disconnect();
    } catch (...) {
    }
    guard_.reset();
  }
}

}  // namespace fbdb
