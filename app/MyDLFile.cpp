#include "app/MyDLFile.h"

#include <curl/curl.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <system_error>

#include "app/ShellText.h"
#include "platform/codepage.h"

namespace {

std::once_flag gCurlInit;

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

void Check(CURLcode rc, const char* what) {
  if (rc != CURLE_OK) throw std::runtime_error(std::string(what) + ": " + curl_easy_strerror(rc));
}

}  // namespace

TDownLoader::TDownLoader(QObject* parent) : QThread(parent) {
  // Once per process, on the window thread, before any worker runs.
  std::call_once(gCurlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

TDownLoader::~TDownLoader() {
  abort_ = true;
  wait();
}

size_t TDownLoader::WriteBody(char* data, size_t size, size_t count, void* self) {
  auto* d = static_cast<TDownLoader*>(self);
  const size_t n = size * count;
  if (!d->begun_) {
    d->begun_ = true;
    curl_off_t expected = -1;
    curl_easy_getinfo(static_cast<CURL*>(d->curl_), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &expected);
    emit d->DownloadProgress(0, expected < 0 ? 0 : static_cast<qint64>(expected));
  }
  if (static_cast<int64_t>(n) > d->MaxSize - d->received_) {
    d->tooLarge_ = true;
    return 0;  // the transfer stops with a write error
  }
  if (n != 0 && std::fwrite(data, 1, n, static_cast<std::FILE*>(d->file_)) != n) {
    d->writeFailed_ = true;
    return 0;  // the transfer stops with a write error
  }
  d->received_ += static_cast<int64_t>(n);
  if (d->received_ - d->posted_ >= kProgressStep) {
    d->posted_ = d->received_;
    emit d->DownloadProgress(1, d->received_);
  }
  return n;
}

int TDownLoader::Transfer(void* self, int64_t, int64_t, int64_t, int64_t) {
  return static_cast<TDownLoader*>(self)->abort_ ? 1 : 0;
}

void TDownLoader::Execute() {
  Result.clear();
  Reason.clear();
  TooLarge = false;
  begun_ = writeFailed_ = tooLarge_ = false;
  received_ = posted_ = 0;
  try {
    const std::string folder = shell::ExtractFilePath(FileName);
    if (folder.empty()) throw std::runtime_error("the target file has no folder");
    const std::filesystem::path target(platform::ToFsPath(FileName));
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(platform::ToFsPath(folder)), ec);
    if (ec) throw std::runtime_error("cannot create the folder: " + ec.message());

    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(target.c_str(), "wb"));
    if (!file) throw std::runtime_error("cannot create the target file");
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) throw std::runtime_error("no HTTP client");
    CURL* c = curl.get();
    file_ = file.get();
    curl_ = c;

    Check(curl_easy_setopt(c, CURLOPT_URL, URL.c_str()), "address");
    Check(curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https"), "protocols");
    Check(curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https"), "protocols");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, ConnectTimeout);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, StallTimeout);
    // A declared size beyond the bound fails before the body comes; WriteBody counts what
    // does come, declared or not.
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(MaxSize));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &TDownLoader::WriteBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &TDownLoader::Transfer);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    // The settings alone decide on the proxy: the environment's proxy variables do not.
    curl_easy_setopt(c, CURLOPT_NOPROXY, "");
    if (UseProxy) {
      Check(curl_easy_setopt(c, CURLOPT_PROXY, ProxyServer.c_str()), "proxy");
      curl_easy_setopt(c, CURLOPT_PROXYPORT, static_cast<long>(ProxyPort));
      curl_easy_setopt(c, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
      if (UseAutorisation) {
        curl_easy_setopt(c, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(c, CURLOPT_PROXYUSERNAME, ProxyUser.c_str());
        curl_easy_setopt(c, CURLOPT_PROXYPASSWORD, ProxyPass.c_str());
      }
    } else {
      curl_easy_setopt(c, CURLOPT_PROXY, "");
    }

    const CURLcode rc = curl_easy_perform(c);
    if (tooLarge_ || rc == CURLE_FILESIZE_EXCEEDED) {
      TooLarge = true;
      throw std::runtime_error("the file is larger than " + std::to_string(MaxSize) + " bytes");
    }
    if (writeFailed_) throw std::runtime_error("cannot write the target file");
    if (abort_) throw std::runtime_error("stopped");
    Check(rc, "transfer");
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) throw std::runtime_error("HTTP status " + std::to_string(status));
    if (!begun_) {
      begun_ = true;
      emit DownloadProgress(0, 0);
    }
    if (received_ != posted_) emit DownloadProgress(1, received_);
    curl.reset();
    curl_ = nullptr;
    std::FILE* f = file.release();
    file_ = nullptr;
    const bool flushed = std::fflush(f) == 0;
    const bool closed = std::fclose(f) == 0;
    if (!flushed || !closed) throw std::runtime_error("cannot write the target file");
  } catch (const std::exception& e) {
    curl_ = nullptr;
    file_ = nullptr;
    Result = "error";
    Reason = e.what();
  }
}
