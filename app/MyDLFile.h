#pragma once
// TDownLoader: one HTTP download on a thread of its own. The starter sets the fields,
// connects finished() to its completion handler (which runs on the window thread) and
// starts it; afterwards Result is empty, or "error" when the download failed.
// DownloadProgress is the progress message of the window (what 0: the expected size,
// what 1: the count received so far); it reaches the window through its queue.
#include <QThread>

#include <atomic>
#include <cstdint>
#include <string>

namespace shell {
// The progress message number of the main window.
inline constexpr int WM_DOWNLOAD_PROGRESS = 1124;
// The largest file a download keeps: 256 MiB. The two files fetched are the fund's file of
// one clinic's attached population (a DBF of some hundred bytes a person: a few MB for tens
// of thousands of people) and the update archive (the system's programs, some tens of MB);
// the bound leaves each room to grow several times over, and it stops a body that never
// ends, or a wrong address that serves something huge, before it fills the disk it is
// written to (often the database's own).
inline constexpr int64_t kDownloadSizeLimit = int64_t(256) * 1024 * 1024;
}

class TDownLoader : public QThread {
  Q_OBJECT

public:
  explicit TDownLoader(QObject* parent = nullptr);
  // A worker still running is stopped and waited for.
  ~TDownLoader() override;

  // Set before start(), CP1251.
  std::string URL;
  std::string FileName;
  int32_t ProxyPort = 0;
  std::string ProxyServer;
  std::string ProxyUser;
  std::string ProxyPass;
  bool UseProxy = false;
  bool UseAutorisation = false;
  // Seconds to wait for a connection, and seconds a transfer may stall before it fails.
  long ConnectTimeout = 30;
  long StallTimeout = 120;
  // The largest body taken, in bytes: a larger declared size fails at once, a body that
  // passes it fails there, and the part written is left for the starter to delete.
  int64_t MaxSize = shell::kDownloadSizeLimit;
  // Read after the worker has finished.
  std::string Result;
  std::string Reason;  // why it failed (English, for the developer)
  bool TooLarge = false;  // it failed because the body passed MaxSize

  // The thread body; also callable directly.
  void Execute();
  // Asks a running transfer to stop; it then ends with "error".
  void Abort() { abort_ = true; }

  // Progress posts while the body arrives come at most once per this many bytes.
  static constexpr int64_t kProgressStep = 64 * 1024;

signals:
  void DownloadProgress(int what, qint64 value);

protected:
  void run() override { Execute(); }

private:
  static size_t WriteBody(char* data, size_t size, size_t count, void* self);
  static int Transfer(void* self, int64_t, int64_t, int64_t, int64_t);

  std::atomic<bool> abort_{false};
  void* file_ = nullptr;
  void* curl_ = nullptr;
  bool begun_ = false;
  bool writeFailed_ = false;
  bool tooLarge_ = false;
  int64_t received_ = 0;
  int64_t posted_ = 0;
};
