#pragma once
// Shared pieces of the fbdb implementation: the master interface, status checking and
// the conversion of engine errors into EFbError.
#include <firebird/Interface.h>

#include <string>
#include <string_view>

#include "db/fbdb.h"

namespace fbdb::detail {

Firebird::IMaster* Master();
Firebird::IUtil* Util();
Firebird::IProvider* Provider();

// EFbError built from a status vector holding an error.
EFbError MakeError(Firebird::IStatus* st, std::string_view context = {});
// Throws MakeError(st, context).
[[noreturn]] void ThrowStatus(Firebird::IStatus* st, std::string_view context = {});

// One status object for a run of calls; check() raises when the last call failed.
class Status {
public:
  Status() : st_(Master()->getStatus()), w_(st_) {}
  ~Status() { st_->dispose(); }
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;
  Firebird::CheckStatusWrapper* operator&() { return &w_; }
  Firebird::CheckStatusWrapper* get() { return &w_; }
  bool failed() const { return (w_.getState() & Firebird::IStatus::STATE_ERRORS) != 0; }
  void check(std::string_view context = {}) {
    if (failed()) ThrowStatus(st_, context);
  }
  void reset() { w_.init(); }
  Firebird::IStatus* status() { return &w_; }

private:
  Firebird::IStatus* st_;
  Firebird::CheckStatusWrapper w_;
};

// Builds a parameter block through IXpbBuilder.
class Xpb {
public:
  explicit Xpb(unsigned kind);
  ~Xpb();
  Xpb(const Xpb&) = delete;
  Xpb& operator=(const Xpb&) = delete;
  void tag(unsigned char t);
  void str(unsigned char t, std::string_view v);
  void num(unsigned char t, int v);
  unsigned length();
  const unsigned char* buffer();

private:
  Status st_;
  Firebird::IXpbBuilder* b_;
};

}  // namespace fbdb::detail
